#include "console/MainFrame.h"

// The frame itself: its parts put together, the menus that follow the
// documents, the caption, the dialogs it opens, its stored state and its
// close. The commands, the tabs, the recent files and the status bar have
// files of their own (MainFrameActions.cpp, MainFrameDocuments.cpp,
// MainFrameRecentFiles.cpp, MainFrameStatusBar.cpp).
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QStatusBar>
#include <QTabBar>
#include <QToolButton>

#include "console/ScopeFeed.h"
#include "console/AboutDlg.h"
#include "console/ChildFrame.h"
#include "console/DlgCustomize.h"
#include "console/FrameHost.h"
#include "console/Icons.h"
#include "console/Looks.h"
#include "console/AlarmsView.h"
#include "console/SitesView.h"
#include "console/TrainView.h"
#include "console/TrainsView.h"
#include "console/UserSettings.h"
#include "console/WindowsDlg.h"

CMainFrame::CMainFrame(FrameHost* host, QWidget* parent)
    : QMainWindow(parent), host_(host), feed_(new ScopeFeed(this)) {
    setObjectName(QStringLiteral("CMainFrame"));
    setWindowTitle(QStringLiteral("Kestova"));
    setWindowIcon(icons::Application());

    // The stored look first, so everything below is built in it.
    ApplyStoredLook(this);

    CreateTabArea();
    CreateActions();
    CreateMenus();
    CreateToolBar();
    CreateStatusBar();
    LoadRecentFiles();
    RestoreFrameState();
    UpdateMenus();
}

CMainFrame::~CMainFrame() {
    // The document windows go after this body; nothing they signal on the
    // way may reach a frame that is half gone.
    closing_ = true;
    mdiArea_->disconnect(this);
    if (tabBar_) tabBar_->disconnect(this);
    for (QMdiSubWindow* window : mdiArea_->subWindowList()) {
        window->disconnect(this);
        if (auto* child = qobject_cast<CChildFrame*>(window)) child->Document()->disconnect(this);
    }
    mdiArea_->removeEventFilter(this);
    if (tabBar_) tabBar_->removeEventFilter(this);
}

int CMainFrame::CurrentMenuId() const { return mdiArea_->subWindowList().isEmpty() ? 128 : 130; }

void CMainFrame::UpdateMenus() {
    const bool document = CurrentMenuId() == 130;
    fileMenu128_->menuAction()->setVisible(!document);
    fileMenu130_->menuAction()->setVisible(document);
    commandsMenu_->menuAction()->setVisible(document);
    Action(cmd::FileClose)->setEnabled(document);
    Action(cmd::FileSave)->setEnabled(document);
    Action(cmd::FileSaveAs)->setEnabled(document);
    Action(cmd::ListCallers)->setEnabled(document);
    Action(cmd::SendEcho)->setEnabled(document);
    Action(cmd::SelectRadioPort)->setEnabled(document);
    Action(cmd::WindowManager)->setEnabled(document);
    documentButton_->setVisible(document);
    PlaceDocumentButton();
}

void CMainFrame::UpdateCaption() {
    CChildFrame* child = ActiveChild();
    const QString title = child != nullptr ? child->Document()->GetTitle() : QString();
    QString caption = title.isEmpty() ? QStringLiteral("Kestova") : title + QStringLiteral(" - Kestova");
    // The open alarms stay in sight in the taskbar too.
    if (openAlarms_ > 0)
        caption += openAlarms_ == 1 ? QStringLiteral(" - 1 alarm") : QStringLiteral(" - %1 alarms").arg(openAlarms_);
    setWindowTitle(caption);
}

void CMainFrame::OnApplicationLook(int commandId) {
    ApplyLook(commandId, this);
    if (QAction* action = Action(commandId)) action->setChecked(true);
}

void CMainFrame::OnWindowManager() {
    CWindowsDlg dialog(mdiArea_, this);
    dialog.exec();
}

void CMainFrame::OnAppAbout() {
    CAboutDlg dialog(this);
    dialog.exec();
}

void CMainFrame::OnViewCustomize() {
    CDlgCustomize dialog(toolBar_, ToolbarCommands(), this);
    dialog.exec();
    SaveToolbarCustomisation(toolBar_);
}

QMenu* CMainFrame::createPopupMenu() {
    // The bars' context menu: the toolbars, then the customise command.
    QMenu* menu = QMainWindow::createPopupMenu();
    if (menu == nullptr) menu = new QMenu(this);
    menu->addSeparator();
    menu->addAction(Action(cmd::ViewCustomize));
    return menu;
}

void CMainFrame::SaveFrameState() const {
    QSettings settings = UserSettings();
    settings.beginGroup(QStringLiteral("Workspace"));
    settings.setValue(QStringLiteral("MainFrameGeometry"), saveGeometry());
    settings.setValue(QStringLiteral("MainFrameState"), saveState());
    settings.setValue(QStringLiteral("StatusBar"), Action(cmd::ViewStatusBar)->isChecked());
    settings.setValue(QStringLiteral("OpenViews"), OpenHistoryViews());
    settings.endGroup();
    settings.sync();
    SaveToolbarCustomisation(toolBar_);
}

QStringList CMainFrame::OpenHistoryViews() const {
    QStringList views;
    for (QMdiSubWindow* w : mdiArea_->subWindowList(QMdiArea::CreationOrder)) {
        if (qobject_cast<SitesView*>(w->widget()) != nullptr) views << QStringLiteral("sites");
        if (qobject_cast<TrainsView*>(w->widget()) != nullptr) views << QStringLiteral("trains");
        if (qobject_cast<AlarmsView*>(w->widget()) != nullptr) views << QStringLiteral("alarms");
        if (auto* train = qobject_cast<TrainView*>(w->widget()))
            views << QStringLiteral("train:%1").arg(train->TrainId());
    }
    return views;
}

void CMainFrame::RestoreFrameState() {
    QSettings settings = UserSettings();
    settings.beginGroup(QStringLiteral("Workspace"));
    restoreGeometry(settings.value(QStringLiteral("MainFrameGeometry")).toByteArray());
    restoreState(settings.value(QStringLiteral("MainFrameState")).toByteArray());
    const bool status = settings.value(QStringLiteral("StatusBar"), true).toBool();
    settings.endGroup();
    Action(cmd::ViewStatusBar)->setChecked(status);
    statusBar()->setVisible(status);
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    if (closing_) {
        event->accept();
        return;
    }
    if (QApplication::activeModalWidget() != nullptr && host_ != nullptr) {
        // Closed from outside while a dialog is up: the dialog goes first.
        event->ignore();
        host_->RequestQuit();
        return;
    }
    // The operator's own close asks first while the collector runs; a
    // signal or a logout (RequestQuit) does not.
    if (host_ != nullptr && !host_->ConfirmExit()) {
        event->ignore();
        return;
    }
    closing_ = true;
    SaveFrameState();
    // Stop the worker before its windows go, so nothing it sends can be
    // waiting on a window that is being torn down.
    if (host_ != nullptr) host_->StopWorker();
    mdiArea_->closeAllSubWindows();
    event->accept();
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}
