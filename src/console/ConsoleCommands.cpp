#include "console/ConsoleCommands.h"

#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QMenu>
#include <QPlainTextEdit>
#include <QUrl>
#include <string>

#include "common/Globals.h"
#include "console/DlgCmndEcho.h"
#include "console/MainFrame.h"
#include "console/KestovaApp.h"
#include "records/Callers.h"

namespace console {

QWidget* ShowListingWindow(const QString& path) {
    auto* view = new QPlainTextEdit();
    view->setObjectName(QStringLiteral("callerListing"));
    view->setAttribute(Qt::WA_DeleteOnClose);
    view->setReadOnly(true);
    view->setLineWrapMode(QPlainTextEdit::NoWrap);
    view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    view->setWindowTitle(QFileInfo(path).fileName());
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        view->setPlainText(QString::fromLatin1(file.readAll()));
    }
    view->resize(720, 480);
    view->show();
    return view;
}

void OnListCallers(QWidget*) {
    std::string path;
    if (!ListCallers(&path)) return;
    const QString listing = QString::fromStdString(path);
    CKestovaApp* app = CKestovaApp::Instance();
    const bool desktop = app == nullptr || app->Options().useDesktopViewer;
    if (desktop && QDesktopServices::openUrl(QUrl::fromLocalFile(listing))) return;
    ShowListingWindow(listing);
}

void OnSendEchoCommand(QWidget* parent) {
    {
        CDlgCmndEcho dialog(parent);
        dialog.exec();
    }
    echoRequested = 0;
    echoDialogWindow = 0;
}

QMenu* CreateEditContextMenu(QWidget* parent) {
    auto* menu = new QMenu(QStringLiteral("Edit"), parent);
    menu->setObjectName(QStringLiteral("Edit"));
    for (const char* text : {"Cu&t\tCtrl+X", "&Copy\tCtrl+C", "&Paste\tCtrl+V"}) {
        QAction* action = menu->addAction(QString::fromLatin1(text));
        action->setEnabled(false);
    }
    return menu;
}

void ShowEditContextMenu(QWidget* parent, const QPoint& globalPos) {
    QMenu* menu = CreateEditContextMenu(parent);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(globalPos);
}

}  // namespace console
