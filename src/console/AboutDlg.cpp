#include "console/AboutDlg.h"

#include <QLabel>
#include <QPushButton>

#include "console/DialogUnits.h"
#include "console/Icons.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("CAboutDlg"));
    setWindowTitle(QStringLiteral("About Kestova"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    // Template 100: 170 x 62 dialog units, MS Shell Dlg 8.
    const DialogUnits du(QFont(QStringLiteral("MS Shell Dlg"), 8));
    du.ApplyToDialog(this, 170, 62);

    auto* icon = new QLabel(this);
    icon->setPixmap(icons::Application().pixmap(32, 32));
    du.Place(icon, 14, 14, 21, 20);
    auto* text = new QLabel(QStringLiteral("Kestova, Version 1.0"), this);
    text->setObjectName(QStringLiteral("versionText"));
    du.Place(text, 42, 14, 114, 8);
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setDefault(true);
    du.Place(ok, 113, 41, 50, 14);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
