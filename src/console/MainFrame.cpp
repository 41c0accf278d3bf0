#include "console/MainFrame.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTabBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include "common/LinkStatus.h"
#include "common/LogLine.h"
#include "console/AboutDlg.h"
#include "console/ChildFrame.h"
#include "console/ConsoleCommands.h"
#include "console/DlgCustomize.h"
#include "console/HistoryViews.h"
#include "console/Icons.h"
#include "console/FrameHost.h"
#include "console/LockKeys.h"
#include "console/Looks.h"
#include "console/RichEditScopeView.h"
#include "console/UserSettings.h"
#include "console/WindowsDlg.h"

namespace {

const char* const kRecentGroup = "Recent File List";

}  // namespace

CMainFrame::CMainFrame(FrameHost* host, QWidget* parent) : QMainWindow(parent), host_(host) {
    setObjectName(QStringLiteral("CMainFrame"));
    setWindowTitle(QStringLiteral("Kestova"));
    setWindowIcon(icons::Application());

    // The stored look first, so everything below is built in it.
    ApplyStoredLook(this);

    mdiArea_ = new QMdiArea(this);
    mdiArea_->setObjectName(QStringLiteral("mdiArea"));
    mdiArea_->setViewMode(QMdiArea::TabbedView);
    mdiArea_->setTabsClosable(true);
    mdiArea_->setTabsMovable(true);
    mdiArea_->setTabShape(QTabWidget::Rounded);
    mdiArea_->setDocumentMode(true);
    setCentralWidget(mdiArea_);
    mdiArea_->installEventFilter(this);
    connect(mdiArea_, &QMdiArea::subWindowActivated, this, [this](QMdiSubWindow* window) {
        // A tab brought to the front has been seen.
        if (auto* child = qobject_cast<CChildFrame*>(window); child != nullptr && child->Pane() != nullptr)
            child->Pane()->MarkSeen();
        UpdateMenus();
        UpdateCaption();
        UpdateTabButtons();
    });

    // The document menu at the right end of the tab area.
    documentMenu_ = new QMenu(this);
    documentMenu_->setObjectName(QStringLiteral("documentMenu"));
    connect(documentMenu_, &QMenu::aboutToShow, this, &CMainFrame::FillDocumentMenu);
    documentButton_ = new QToolButton(mdiArea_);
    documentButton_->setObjectName(QStringLiteral("documentMenuButton"));
    documentButton_->setArrowType(Qt::DownArrow);
    documentButton_->setAutoRaise(true);
    documentButton_->setToolTip(QStringLiteral("Active Files"));
    documentButton_->setPopupMode(QToolButton::InstantPopup);
    documentButton_->setMenu(documentMenu_);
    documentButton_->hide();

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

QAction* CMainFrame::MakeAction(int commandId, const QString& text, const QString& prompt) {
    auto* action = new QAction(text, this);
    action->setObjectName(QStringLiteral("ID_%1").arg(commandId));
    action->setData(commandId);
    if (!prompt.isEmpty()) {
        // "prompt\ntooltip", the status line text and the button's tip.
        const QStringList parts = prompt.split(QLatin1Char('\n'));
        action->setStatusTip(parts.value(0));
        if (parts.size() > 1) {
            action->setToolTip(parts.value(1));
            action->setIconText(parts.value(1));
        }
    }
    actions_[commandId] = action;
    return action;
}

QAction* CMainFrame::Action(int commandId) const {
    auto it = actions_.find(commandId);
    return it == actions_.end() ? nullptr : it->second;
}

QList<QAction*> CMainFrame::ToolbarCommands() const {
    QList<QAction*> commands;
    for (int id : {cmd::FileNew, cmd::FileOpen, cmd::FileSave, cmd::FileSaveAs, cmd::FileClose,
                   cmd::EditCut, cmd::EditCopy, cmd::EditPaste, cmd::FilePrint, cmd::ListCallers,
                   cmd::SendEcho, cmd::WindowManager, cmd::AppAbout}) {
        commands.append(Action(id));
    }
    return commands;
}

void CMainFrame::CreateActions() {
    QAction* a = MakeAction(cmd::FileNew, QStringLiteral("&New\tCtrl+N"),
                            QStringLiteral("Create a new document\nNew"));
    a->setShortcut(QKeySequence(QStringLiteral("Ctrl+N")));
    a->setIcon(icons::Toolbar(icons::Tool::New));
    connect(a, &QAction::triggered, this, &CMainFrame::OnFileNew);

    a = MakeAction(cmd::FileOpen, QStringLiteral("&Open...\tCtrl+O"),
                   QStringLiteral("Open an existing document\nOpen"));
    a->setShortcut(QKeySequence(QStringLiteral("Ctrl+O")));
    a->setIcon(icons::Toolbar(icons::Tool::Open));
    connect(a, &QAction::triggered, this, &CMainFrame::OnFileOpen);

    a = MakeAction(cmd::FileClose, QStringLiteral("&Close"),
                   QStringLiteral("Close the active document\nClose"));
    connect(a, &QAction::triggered, this, &CMainFrame::OnFileClose);

    a = MakeAction(cmd::FileSave, QStringLiteral("&Save\tCtrl+S"),
                   QStringLiteral("Save the active document\nSave"));
    a->setShortcut(QKeySequence(QStringLiteral("Ctrl+S")));
    a->setIcon(icons::Toolbar(icons::Tool::Save));
    connect(a, &QAction::triggered, this, &CMainFrame::OnFileSave);

    a = MakeAction(cmd::FileSaveAs, QStringLiteral("Save &As..."),
                   QStringLiteral("Save the active document with a new name\nSave As"));
    connect(a, &QAction::triggered, this, &CMainFrame::OnFileSaveAs);

    for (int i = 0; i < kRecentFileCount; ++i) {
        a = MakeAction(cmd::FileMru1 + i, QString(), QStringLiteral("Open this document"));
        connect(a, &QAction::triggered, this, [this, i]() {
            if (i >= recentFiles_.size()) return;
            const QString path = recentFiles_.at(i);
            if (CreateDocumentWindow(path) == nullptr) {
                // A file that is gone leaves the list.
                recentFiles_.removeAt(i);
                SaveRecentFiles();
                UpdateRecentFileMenu();
            }
        });
    }

    a = MakeAction(cmd::AppExit, QStringLiteral("E&xit"),
                   QStringLiteral("Quit the application\nExit"));
    connect(a, &QAction::triggered, this, &QWidget::close);

    a = MakeAction(cmd::ListCallers, QStringLiteral("List Callers"),
                   QStringLiteral("List the sites that have called in\nList Callers"));
    connect(a, &QAction::triggered, this, [this]() { console::OnListCallers(this); });

    a = MakeAction(cmd::SendEcho, QStringLiteral("Send &Echo Command"),
                   QStringLiteral("Send an echo test to a remote radio\nSend Echo"));
    connect(a, &QAction::triggered, this, [this]() { console::OnSendEchoCommand(this); });

    a = MakeAction(cmd::SelectRadioPort, QStringLiteral("Select Radio &Port..."),
                   QStringLiteral("Choose the serial port of the radio; the collector moves "
                                  "to it at once\nSelect Radio Port"));
    connect(a, &QAction::triggered, this, [this]() {
        if (host_ != nullptr) host_->SelectRadioPort();
        UpdateLinkPane();
    });

    a = MakeAction(cmd::ViewStatusBar, QStringLiteral("&Status Bar"),
                   QStringLiteral("Show or hide the status bar\nToggle Status Bar"));
    a->setCheckable(true);
    a->setChecked(true);
    connect(a, &QAction::toggled, this, [this](bool on) { statusBar()->setVisible(on); });

    a = MakeAction(cmd::ViewCustomize, QStringLiteral("Customize..."),
                   QStringLiteral("Customize the toolbar\nCustomize"));
    connect(a, &QAction::triggered, this, &CMainFrame::OnViewCustomize);

    a = MakeAction(cmd::ViewSites, QStringLiteral("S&ites"),
                   QStringLiteral("Show the sites: last heard, trains, troubles\nSites"));
    connect(a, &QAction::triggered, this, [this]() { OpenSitesView(); });
    a = MakeAction(cmd::ViewTrains, QStringLiteral("T&rains"),
                   QStringLiteral("Show the train history\nTrains"));
    connect(a, &QAction::triggered, this, [this]() { OpenTrainsView(); });

    a = MakeAction(cmd::WindowManager, QStringLiteral("&Windows..."),
                   QStringLiteral("Manage the open windows\nWindows"));
    connect(a, &QAction::triggered, this, &CMainFrame::OnWindowManager);

    a = MakeAction(cmd::AppAbout, QStringLiteral("&About Kestova..."),
                   QStringLiteral("Display program information and version number\nAbout"));
    a->setIcon(icons::Toolbar(icons::Tool::About));
    connect(a, &QAction::triggered, this, &CMainFrame::OnAppAbout);

    // Toolbar commands that nothing in the collector acts on: greyed.
    struct Idle {
        int id;
        const char* text;
        const char* prompt;
        icons::Tool tool;
    };
    for (const Idle& idle :
         {Idle{cmd::EditCut, "Cu&t\tCtrl+X", "Cut the selection and put it on the Clipboard\nCut",
               icons::Tool::Cut},
          Idle{cmd::EditCopy, "&Copy\tCtrl+C", "Copy the selection and put it on the Clipboard\nCopy",
               icons::Tool::Copy},
          Idle{cmd::EditPaste, "&Paste\tCtrl+V", "Insert Clipboard contents\nPaste",
               icons::Tool::Paste},
          Idle{cmd::FilePrint, "&Print...\tCtrl+P", "Print the active document\nPrint",
               icons::Tool::Print}}) {
        a = MakeAction(idle.id, QString::fromLatin1(idle.text), QString::fromLatin1(idle.prompt));
        a->setIcon(icons::Toolbar(idle.tool));
        a->setEnabled(false);
    }

    // F6 and Shift+F6 step through the document windows.
    a = MakeAction(cmd::NextPane, QStringLiteral("Next Pane"));
    a->setShortcut(QKeySequence(Qt::Key_F6));
    a->setShortcutContext(Qt::WindowShortcut);
    addAction(a);
    connect(a, &QAction::triggered, this, [this]() { mdiArea_->activateNextSubWindow(); });
    a = MakeAction(cmd::PrevPane, QStringLiteral("Previous Pane"));
    a->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F6));
    a->setShortcutContext(Qt::WindowShortcut);
    addAction(a);
    connect(a, &QAction::triggered, this, [this]() { mdiArea_->activatePreviousSubWindow(); });

    // The looks, one radio group.
    lookGroup_ = new QActionGroup(this);
    lookGroup_->setExclusive(true);
    for (int id : LookIds()) {
        a = MakeAction(id, LookMenuText(id));
        a->setCheckable(true);
        a->setChecked(id == CurrentLook());
        lookGroup_->addAction(a);
        connect(a, &QAction::triggered, this, [this, id]() { OnApplicationLook(id); });
    }
}

void CMainFrame::CreateMenus() {
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("menuBar"));

    // Menu 128: while no document is open.
    fileMenu128_ = bar->addMenu(QStringLiteral("&File"));
    fileMenu128_->setObjectName(QStringLiteral("fileMenu128"));
    fileMenu128_->addAction(Action(cmd::FileNew));
    fileMenu128_->addAction(Action(cmd::FileOpen));
    fileMenu128_->addAction(Action(cmd::FileClose));
    fileMenu128_->addSeparator();
    for (int i = 0; i < kRecentFileCount; ++i) fileMenu128_->addAction(Action(cmd::FileMru1 + i));
    fileMenu128_->addSeparator();
    fileMenu128_->addAction(Action(cmd::AppExit));

    // Menu 130: while a document is open.
    fileMenu130_ = bar->addMenu(QStringLiteral("&File"));
    fileMenu130_->setObjectName(QStringLiteral("fileMenu130"));
    fileMenu130_->addAction(Action(cmd::FileNew));
    fileMenu130_->addAction(Action(cmd::FileOpen));
    fileMenu130_->addAction(Action(cmd::FileClose));
    fileMenu130_->addAction(Action(cmd::FileSave));
    fileMenu130_->addAction(Action(cmd::FileSaveAs));
    fileMenu130_->addSeparator();
    for (int i = 0; i < kRecentFileCount; ++i) fileMenu130_->addAction(Action(cmd::FileMru1 + i));
    fileMenu130_->addSeparator();
    fileMenu130_->addAction(Action(cmd::AppExit));
    fileMenu130_->addAction(Action(cmd::ListCallers));

    commandsMenu_ = bar->addMenu(QStringLiteral("Commands"));
    commandsMenu_->setObjectName(QStringLiteral("commandsMenu"));
    commandsMenu_->addAction(Action(cmd::SendEcho));
    commandsMenu_->addAction(Action(cmd::SelectRadioPort));

    viewMenu_ = bar->addMenu(QStringLiteral("&View"));
    viewMenu_->setObjectName(QStringLiteral("viewMenu"));
    toolbarsMenu_ = viewMenu_->addMenu(QStringLiteral("&Toolbars and Docking Windows"));
    toolbarsMenu_->setObjectName(QStringLiteral("toolbarsMenu"));
    connect(toolbarsMenu_, &QMenu::aboutToShow, this, [this]() {
        toolbarsMenu_->clear();
        for (QToolBar* toolbar : findChildren<QToolBar*>()) {
            if (toolbar->parentWidget() != this) continue;
            toolbarsMenu_->addAction(toolbar->toggleViewAction());
        }
        toolbarsMenu_->addSeparator();
        toolbarsMenu_->addAction(Action(cmd::ViewCustomize));
    });
    viewMenu_->addAction(Action(cmd::ViewStatusBar));
    viewMenu_->addAction(Action(cmd::ViewSites));
    viewMenu_->addAction(Action(cmd::ViewTrains));
    QMenu* looksMenu = viewMenu_->addMenu(QStringLiteral("&Application Look"));
    looksMenu->setObjectName(QStringLiteral("applicationLookMenu"));
    QMenu* submenu = nullptr;
    for (int id : LookIds()) {
        if (LookMenuText(id).isEmpty()) continue;  // a look without a menu item
        const QString sub = LookSubmenuText(id);
        if (sub.isEmpty()) {
            looksMenu->addAction(Action(id));
            continue;
        }
        if (submenu == nullptr || submenu->title() != sub) submenu = looksMenu->addMenu(sub);
        submenu->addAction(Action(id));
    }

    helpMenu_ = bar->addMenu(QStringLiteral("&Help"));
    helpMenu_->setObjectName(QStringLiteral("helpMenu"));
    helpMenu_->addAction(Action(cmd::AppAbout));

    for (QMenu* menu : bar->findChildren<QMenu*>()) menu->setToolTipsVisible(true);
}

void CMainFrame::CreateToolBar() {
    toolBar_ = addToolBar(QStringLiteral("Standard"));
    toolBar_->setObjectName(QStringLiteral("Standard"));
    toolBar_->setMovable(true);
    toolBar_->setFloatable(true);
    toolBar_->setAllowedAreas(Qt::AllToolBarAreas);
    toolBar_->setIconSize(QSize(16, 16));
    toolBar_->addAction(Action(cmd::FileNew));
    toolBar_->addAction(Action(cmd::FileOpen));
    toolBar_->addAction(Action(cmd::FileSave));
    toolBar_->addSeparator();
    toolBar_->addAction(Action(cmd::EditCut));
    toolBar_->addAction(Action(cmd::EditCopy));
    toolBar_->addAction(Action(cmd::EditPaste));
    toolBar_->addSeparator();
    toolBar_->addAction(Action(cmd::FilePrint));
    toolBar_->addAction(Action(cmd::AppAbout));

    RestoreToolbarCustomisation(toolBar_, ToolbarCommands());

    // The history views have a toolbar of their own beside the standard one.
    historyBar_ = addToolBar(QStringLiteral("History"));
    historyBar_->setObjectName(QStringLiteral("History"));
    historyBar_->setToolButtonStyle(Qt::ToolButtonTextOnly);
    historyBar_->addAction(Action(cmd::ViewSites));
    historyBar_->addAction(Action(cmd::ViewTrains));
}

QMdiSubWindow* CMainFrame::AddViewTab(QWidget* view) {
    QMdiSubWindow* window = mdiArea_->addSubWindow(view);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(view->windowTitle());
    window->setWindowIcon(icons::TabMark(documentCount_++));
    connect(view, &QWidget::windowTitleChanged, window, &QWidget::setWindowTitle);
    connect(window, &QObject::destroyed, this, [this]() {
        QTimer::singleShot(0, this, [this]() {
            UpdateMenus();
            UpdateCaption();
        });
    });
    window->showMaximized();
    mdiArea_->setActiveSubWindow(window);
    UpdateMenus();
    UpdateTabButtons();
    return window;
}

SitesView* CMainFrame::OpenSitesView() {
    for (QMdiSubWindow* w : mdiArea_->subWindowList())
        if (auto* view = qobject_cast<SitesView*>(w->widget())) {
            mdiArea_->setActiveSubWindow(w);
            view->Refresh();
            return view;
        }
    auto* view = new SitesView;
    connect(view, &SitesView::OpenTrainsOfSite, this, [this](int site) { OpenTrainsView(site); });
    AddViewTab(view);
    return view;
}

TrainsView* CMainFrame::OpenTrainsView(int siteNumber) {
    TrainsView* view = nullptr;
    for (QMdiSubWindow* w : mdiArea_->subWindowList())
        if (auto* v = qobject_cast<TrainsView*>(w->widget())) {
            mdiArea_->setActiveSubWindow(w);
            view = v;
        }
    if (view == nullptr) {
        view = new TrainsView;
        connect(view, &TrainsView::OpenTrain, this, [this](qint64 id) { OpenTrainView(id); });
        AddViewTab(view);
    }
    view->ShowSite(siteNumber);
    return view;
}

TrainView* CMainFrame::OpenTrainView(qint64 trainId) {
    for (QMdiSubWindow* w : mdiArea_->subWindowList())
        if (auto* v = qobject_cast<TrainView*>(w->widget()); v != nullptr && v->TrainId() == trainId) {
            mdiArea_->setActiveSubWindow(w);
            return v;
        }
    auto* view = new TrainView;
    if (!view->ShowTrain(trainId)) {
        delete view;
        return nullptr;
    }
    AddViewTab(view);
    return view;
}

void CMainFrame::CreateStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName(QStringLiteral("statusBar"));
    messagePane_ = new QLabel(QStringLiteral("Ready"), bar);
    messagePane_->setObjectName(QStringLiteral("messagePane"));
    bar->addWidget(messagePane_, 1);
    auto indicator = [bar](const char* text, const char* name) {
        auto* label = new QLabel(QString::fromLatin1(text), bar);
        label->setObjectName(QString::fromLatin1(name));
        label->setAlignment(Qt::AlignCenter);
        label->setMinimumWidth(label->fontMetrics().horizontalAdvance(label->text()) + 12);
        label->setFrameShape(QFrame::StyledPanel);
        label->setFrameShadow(QFrame::Sunken);
        bar->addPermanentWidget(label);
        return label;
    };
    linkPane_ = new QLabel(bar);
    linkPane_->setObjectName(QStringLiteral("linkPane"));
    linkPane_->setFrameShape(QFrame::StyledPanel);
    linkPane_->setFrameShadow(QFrame::Sunken);
    linkPane_->setToolTip(QStringLiteral("The radio port, its device, whether it is open, "
                                         "and when the last good frame came in"));
    bar->addPermanentWidget(linkPane_);
    auto* linkTimer = new QTimer(this);
    linkTimer->setInterval(1000);
    connect(linkTimer, &QTimer::timeout, this, &CMainFrame::UpdateLinkPane);
    linkTimer->start();
    UpdateLinkPane();
    capsPane_ = indicator("CAP", "capsIndicator");
    numPane_ = indicator("NUM", "numIndicator");
    scrollPane_ = indicator("SCRL", "scrollIndicator");
    lockKeys_ = new LockKeys(this);
    connect(lockKeys_, &LockKeys::Changed, this, &CMainFrame::UpdateLockIndicators);
    UpdateLockIndicators();
}

void CMainFrame::UpdateLockIndicators() {
    // The indicator's text is there only while its lock is on; the pane
    // keeps its width.
    capsPane_->setText(lockKeys_->Caps() ? QStringLiteral("CAP") : QString());
    numPane_->setText(lockKeys_->Num() ? QStringLiteral("NUM") : QString());
    scrollPane_->setText(lockKeys_->Scroll() ? QStringLiteral("SCRL") : QString());
}

void CMainFrame::UpdateLinkPane() {
    const LinkStatus status = GetLinkStatus();
    QString text = QString::fromStdString(FormatLinkPort(status));
    const std::string state = FormatLinkState(status);
    if (!state.empty()) text += QStringLiteral("  |  ") + QString::fromStdString(state);
    if (status.comNumber >= 0) text += QStringLiteral("  |  ") + QString::fromStdString(FormatLastFrame(status));
    if (linkPane_->text() != text) linkPane_->setText(text);
    // Dark red and bold while the radio cannot be heard.
    const bool bad = status.state == LinkState::NotOpen || status.state == LinkState::Lost;
    if (linkPane_->property("bad").toBool() != bad) {
        linkPane_->setProperty("bad", bad);
        linkPane_->setStyleSheet(bad ? QStringLiteral("QLabel { color: #800000; font-weight: bold; }") : QString());
    }
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
    setWindowTitle(title.isEmpty() ? QStringLiteral("Kestova")
                                   : title + QStringLiteral(" - Kestova"));
}

CChildFrame* CMainFrame::ActiveChild() const {
    QMdiSubWindow* active = mdiArea_->activeSubWindow();
    if (active == nullptr && !mdiArea_->subWindowList().isEmpty())
        active = mdiArea_->currentSubWindow();
    return qobject_cast<CChildFrame*>(active);
}

CChildFrame* CMainFrame::CreateDocumentWindow(const QString& path) {
    if (!path.isEmpty()) {
        CKestovaDoc probe;
        if (!probe.OnOpenDocument(path)) return nullptr;
    }
    auto* child = new CChildFrame();
    if (!child->OnCreateClient()) {
        delete child;
        return nullptr;
    }
    child->setWindowIcon(icons::TabMark(documentCount_++));
    mdiArea_->addSubWindow(child);
    connect(child, &QObject::destroyed, this, [this]() {
        QTimer::singleShot(0, this, [this]() {
            UpdateMenus();
            UpdateCaption();
        });
    });
    connect(child->Document(), &CKestovaDoc::TitleChanged, this, [this]() {
        UpdateCaption();
    });
    if (!path.isEmpty()) {
        child->Document()->OnOpenDocument(path);
        child->Document()->SetTitle(QFileInfo(path).fileName());
        AddToRecentFileList(path);
    }
    child->showMaximized();
    mdiArea_->setActiveSubWindow(child);
    UpdateMenus();
    // The view's initial update; a main view's start-up may open further
    // windows from here.
    child->InitialUpdateFrame();
    UpdateCaption();
    UpdateTabButtons();
    return child;
}

void CMainFrame::OnFileNew() {
    if (host_ != nullptr) {
        host_->OnFileNew();
    } else {
        CreateDocumentWindow(QString());
    }
}

void CMainFrame::OnFileOpen() {
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Open"), QString(),
                                                      QStringLiteral("All Files (*)"));
    if (path.isEmpty()) return;
    CreateDocumentWindow(path);
}

void CMainFrame::OnFileClose() {
    if (QMdiSubWindow* active = mdiArea_->activeSubWindow()) active->close();
}

void CMainFrame::OnFileSave() {
    CChildFrame* child = ActiveChild();
    if (child == nullptr) return;
    const QString path = child->Document()->GetPathName();
    if (path.isEmpty()) {
        OnFileSaveAs();
        return;
    }
    SaveActiveDocumentAs(path);
}

void CMainFrame::OnFileSaveAs() {
    CChildFrame* child = ActiveChild();
    if (child == nullptr) return;
    QString suggestion = child->Document()->GetPathName();
    if (suggestion.isEmpty()) suggestion = child->Document()->GetTitle().trimmed();
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save As"), suggestion,
                                                      QStringLiteral("All Files (*)"));
    if (path.isEmpty()) return;
    SaveActiveDocumentAs(path);
}

bool CMainFrame::SaveActiveDocumentAs(const QString& path) {
    CChildFrame* child = ActiveChild();
    if (child == nullptr) return false;
    if (!child->Document()->OnSaveDocument(path)) {
        ShowMessageBox("Failed to save document.");
        return false;
    }
    AddToRecentFileList(path);
    return true;
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

void CMainFrame::AddToRecentFileList(const QString& path) {
    const QString full = QFileInfo(path).absoluteFilePath();
    recentFiles_.removeAll(full);
    recentFiles_.prepend(full);
    while (recentFiles_.size() > kRecentFileCount) recentFiles_.removeLast();
    SaveRecentFiles();
    UpdateRecentFileMenu();
}

void CMainFrame::LoadRecentFiles() {
    QSettings settings = UserSettings();
    settings.beginGroup(QString::fromLatin1(kRecentGroup));
    recentFiles_.clear();
    for (int i = 1; i <= kRecentFileCount; ++i) {
        const QString path = settings.value(QStringLiteral("File%1").arg(i)).toString();
        if (!path.isEmpty()) recentFiles_.append(path);
    }
    settings.endGroup();
    UpdateRecentFileMenu();
}

void CMainFrame::SaveRecentFiles() const {
    QSettings settings = UserSettings();
    settings.beginGroup(QString::fromLatin1(kRecentGroup));
    for (int i = 1; i <= kRecentFileCount; ++i) {
        if (i <= recentFiles_.size()) {
            settings.setValue(QStringLiteral("File%1").arg(i), recentFiles_.at(i - 1));
        } else {
            settings.remove(QStringLiteral("File%1").arg(i));
        }
    }
    settings.endGroup();
    settings.sync();
}

void CMainFrame::UpdateRecentFileMenu() {
    for (int i = 0; i < kRecentFileCount; ++i) {
        QAction* action = Action(cmd::FileMru1 + i);
        if (i < recentFiles_.size()) {
            QString shown = recentFiles_.at(i);
            shown.replace(QLatin1Char('&'), QStringLiteral("&&"));
            action->setText(QStringLiteral("&%1 %2").arg(i + 1).arg(shown));
            action->setVisible(true);
            action->setEnabled(true);
        } else if (i == 0) {
            // An empty list shows one greyed placeholder.
            action->setText(QStringLiteral("Recent File"));
            action->setVisible(true);
            action->setEnabled(false);
        } else {
            action->setVisible(false);
        }
    }
}

void CMainFrame::SaveFrameState() const {
    QSettings settings = UserSettings();
    settings.beginGroup(QStringLiteral("Workspace"));
    settings.setValue(QStringLiteral("MainFrameGeometry"), saveGeometry());
    settings.setValue(QStringLiteral("MainFrameState"), saveState());
    settings.setValue(QStringLiteral("StatusBar"), Action(cmd::ViewStatusBar)->isChecked());
    settings.endGroup();
    settings.sync();
    SaveToolbarCustomisation(toolBar_);
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

void CMainFrame::FillDocumentMenu() {
    documentMenu_->clear();
    for (QMdiSubWindow* window : mdiArea_->subWindowList(QMdiArea::CreationOrder)) {
        QAction* item = documentMenu_->addAction(window->windowIcon(), window->windowTitle());
        item->setCheckable(true);
        item->setChecked(window == mdiArea_->activeSubWindow());
        QPointer<QMdiSubWindow> target(window);
        connect(item, &QAction::triggered, this, [this, target]() {
            if (target) mdiArea_->setActiveSubWindow(target);
        });
    }
    documentMenu_->addSeparator();
    documentMenu_->addAction(Action(cmd::WindowManager));
}

void CMainFrame::PlaceDocumentButton() {
    if (tabBar_.isNull()) {
        tabBar_ = mdiArea_->findChild<QTabBar*>();
        if (!tabBar_.isNull()) {
            tabBar_->installEventFilter(this);
            tabBar_->setExpanding(false);
            connect(tabBar_, &QTabBar::currentChanged, this, [this]() { UpdateTabButtons(); });
            connect(tabBar_, &QTabBar::tabMoved, this, [this]() { UpdateTabButtons(); });
        }
    }
    if (tabBar_.isNull() || adjustingTabs_) return;
    adjustingTabs_ = true;
    const int height = tabBar_->isVisible() ? tabBar_->height() : tabBar_->sizeHint().height();
    const int side = qMax(16, height);
    const int areaWidth = mdiArea_->width();
    // The tabs give up the right end of their row to the document menu.
    if (tabBar_->geometry().right() > areaWidth - side - 1)
        tabBar_->resize(qMax(0, areaWidth - side - tabBar_->x()), tabBar_->height());
    documentButton_->setGeometry(areaWidth - side, tabBar_->y(), side, height);
    documentButton_->raise();
    adjustingTabs_ = false;
}

void CMainFrame::UpdateTabButtons() {
    PlaceDocumentButton();
    if (tabBar_.isNull()) return;
    // The close button shows on the active tab only.
    for (int i = 0; i < tabBar_->count(); ++i) {
        for (auto side : {QTabBar::LeftSide, QTabBar::RightSide}) {
            if (QWidget* button = tabBar_->tabButton(i, side))
                button->setVisible(i == tabBar_->currentIndex());
        }
    }
}

bool CMainFrame::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == tabBar_ || watched == mdiArea_) &&
        (event->type() == QEvent::Resize || event->type() == QEvent::Move ||
         event->type() == QEvent::Show || event->type() == QEvent::LayoutRequest)) {
        QTimer::singleShot(0, this, [this]() { PlaceDocumentButton(); });
    }
    return QMainWindow::eventFilter(watched, event);
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
