#include "console/ConsoleCommands.h"

#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QMenu>
#include <QPlainTextEdit>
#include <QGuiApplication>
#include <QPointer>
#include <QStandardPaths>
#include <QUrl>
#include <string>

#include "console/DlgCmndEcho.h"
#include "console/KestovaApp.h"
#include "console/MainFrame.h"
#include "console/WindowBridge.h"
#include "console/RichEditScopeView.h"
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

namespace {

// A viewer the desktop can start: a desktop session, a window system that
// shows windows, and the opener. Without them the opener "succeeds" and
// nothing comes up but a line on stderr.
bool DesktopHasViewer() {
    CKestovaApp* app = CKestovaApp::Instance();
    if (app != nullptr && !app->Options().useDesktopViewer) return false;
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) return false;
    if (qEnvironmentVariableIsEmpty("XDG_CURRENT_DESKTOP") && qEnvironmentVariableIsEmpty("DESKTOP_SESSION"))
        return false;
    return !QStandardPaths::findExecutable(QStringLiteral("xdg-open")).isEmpty();
}

}  // namespace

QWidget* OpenTextFile(const QString& path) {
    if (DesktopHasViewer() && QDesktopServices::openUrl(QUrl::fromLocalFile(path))) return nullptr;
    return ShowListingWindow(path);
}

void OnListCallers(QWidget*) {
    CKestovaApp* app = CKestovaApp::Instance();
    Collector* collector = app != nullptr ? app->GetCollector() : nullptr;
    if (collector == nullptr) return;
    std::string path, why;
    if (!collector->Callers().List(&path, &why)) {
        bridge::ShowMessageBox(why.c_str());
        return;
    }
    OpenTextFile(QString::fromStdString(path));
}

void OnSendEchoCommand(QWidget* parent) {
    CKestovaApp* app = CKestovaApp::Instance();
    Collector* collector = app != nullptr ? app->GetCollector() : nullptr;
    ScopeFeed* feed = app != nullptr && app->MainFrame() != nullptr ? app->MainFrame()->Feed() : nullptr;
    {
        CDlgCmndEcho dialog(collector, feed, parent);
        dialog.exec();
    }
    if (collector != nullptr) collector->CancelEcho();
}

QMenu* CreateEditContextMenu(QWidget* parent, CRichEditScopeView* pane) {
    auto* menu = new QMenu(QStringLiteral("Edit"), parent);
    menu->setObjectName(QStringLiteral("Edit"));
    // Cut and Paste stay greyed: a pane is a record. Copy takes a selection.
    QAction* cut = menu->addAction(QStringLiteral("Cu&t\tCtrl+X"));
    cut->setEnabled(false);
    QAction* copy = menu->addAction(QStringLiteral("&Copy\tCtrl+C"));
    copy->setEnabled(pane != nullptr && pane->textCursor().hasSelection());
    QAction* paste = menu->addAction(QStringLiteral("&Paste\tCtrl+V"));
    paste->setEnabled(false);
    if (pane == nullptr) return menu;

    QPointer<CRichEditScopeView> target(pane);
    QObject::connect(copy, &QAction::triggered, menu, [target]() {
        if (target) target->copy();
    });
    menu->addSeparator();
    QObject::connect(menu->addAction(QStringLiteral("Select &All\tCtrl+A")), &QAction::triggered, menu,
                     [target]() {
                         if (target) target->selectAll();
                     });
    QObject::connect(menu->addAction(QStringLiteral("&Find...\tCtrl+F")), &QAction::triggered, menu,
                     [target]() {
                         if (target) target->ShowFindBar();
                     });
    QAction* pause = menu->addAction(QStringLiteral("P&ause\tPause"));
    pause->setCheckable(true);
    pause->setChecked(pane->Paused());
    QObject::connect(pause, &QAction::toggled, menu, [target](bool on) {
        if (target) target->SetPaused(on);
    });
    QObject::connect(menu->addAction(QStringLiteral("C&lear")), &QAction::triggered, menu, [target]() {
        if (target) target->ClearPane();
    });
    return menu;
}

void ShowEditContextMenu(QWidget* parent, const QPoint& globalPos, CRichEditScopeView* pane) {
    QMenu* menu = CreateEditContextMenu(parent, pane);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(globalPos);
}

}  // namespace console
