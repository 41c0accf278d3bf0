#include "console/MainFrame.h"

// The frame's command table: every command's action (text, prompt, icon,
// shortcut, handler), the menus built from them and the toolbars.
#include <QAction>
#include <QActionGroup>
#include <QMdiArea>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QToolBar>
#include <utility>

#include "console/AlarmSound.h"
#include "console/ConsoleCommands.h"
#include "console/DlgCustomize.h"
#include "console/FrameHost.h"
#include "console/Icons.h"
#include "console/Looks.h"

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
    a->setShortcuts({QKeySequence(QStringLiteral("Ctrl+F4")), QKeySequence(QStringLiteral("Ctrl+W"))});
    addAction(a);  // the keys work whichever File menu shows
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
        connect(a, &QAction::triggered, this, [this, i]() { OpenRecentFile(i); });
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
    a = MakeAction(cmd::ViewAlarms, QStringLiteral("A&larms"),
                   QStringLiteral("Show the alarms, acknowledge them\nAlarms"));
    a->setIcon(icons::Toolbar(icons::Tool::Alarms));
    connect(a, &QAction::triggered, this, [this]() { OpenAlarmsView(); });
    for (auto [id, minutes] : {std::pair{cmd::MuteAlarms5, 5}, std::pair{cmd::MuteAlarms15, 15},
                               std::pair{cmd::MuteAlarms60, 60}}) {
        a = MakeAction(id, QStringLiteral("Mute for %1 minutes").arg(minutes),
                       QStringLiteral("No alarm sound for %1 minutes\nMute %1 min").arg(minutes));
        connect(a, &QAction::triggered, this, [this, m = minutes]() { sound_->Mute(m); });
    }
    a = MakeAction(cmd::UnmuteAlarms, QStringLiteral("Sound Again"),
                   QStringLiteral("The alarm sound again now\nSound again"));
    connect(a, &QAction::triggered, this, [this]() { sound_->Mute(0); });
    a = MakeAction(cmd::ViewRefresh, QStringLiteral("Re&fresh"),
                   QStringLiteral("Read the sites or trains shown again\nRefresh"));
    a->setShortcut(QKeySequence(Qt::Key_F5));
    addAction(a);
    connect(a, &QAction::triggered, this, &CMainFrame::RefreshActiveView);

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
    viewMenu_->addAction(Action(cmd::ViewAlarms));
    QMenu* mute = viewMenu_->addMenu(QStringLiteral("&Mute Alarm Sound"));
    mute->setObjectName(QStringLiteral("muteMenu"));
    for (int id : {cmd::MuteAlarms5, cmd::MuteAlarms15, cmd::MuteAlarms60, cmd::UnmuteAlarms})
        mute->addAction(Action(id));
    viewMenu_->addAction(Action(cmd::ViewRefresh));
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
    QToolBar* historyBar = addToolBar(QStringLiteral("History"));
    historyBar->setObjectName(QStringLiteral("History"));
    historyBar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);  // text only where there is no icon
    historyBar->addAction(Action(cmd::ViewSites));
    historyBar->addAction(Action(cmd::ViewTrains));
    historyBar->addAction(Action(cmd::ViewAlarms));
    historyBar->addAction(Action(cmd::MuteAlarms15));
}
