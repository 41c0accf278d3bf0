#pragma once
// The main frame: menus, the "Standard" toolbar, the status bar and the
// document windows as tabs.
#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <map>

class CChildFrame;
class ScopeFeed;
class FrameHost;
class LockKeys;
class AlarmSound;
class AlarmsView;
class ConsoleHistory;
class SitesView;
class TrainsView;
class TrainView;
class QActionGroup;
class QLabel;
class QMdiArea;
class QMdiSubWindow;
class QMenu;
class QTabBar;
class QToolBar;
class QToolButton;
class QPushButton;

// Command identifiers, as the menus, the toolbar and the tests know them.
namespace cmd {
constexpr int FileNew = 57600;
constexpr int FileOpen = 57601;
constexpr int FileClose = 57602;
constexpr int FileSave = 57603;
constexpr int FileSaveAs = 57604;
constexpr int FileMru1 = 57616;  // to 57619
constexpr int AppExit = 57665;
constexpr int AppAbout = 57664;
constexpr int ListCallers = 32771;
constexpr int SendEcho = 32772;
constexpr int SelectRadioPort = 32773;
constexpr int ViewStatusBar = 59393;
constexpr int ViewToolbar = 59392;
constexpr int ViewCustomize = 126;
constexpr int WindowManager = 131;
constexpr int EditCut = 57635;
constexpr int EditCopy = 57634;
constexpr int EditPaste = 57637;
constexpr int FilePrint = 57607;
constexpr int ViewSites = 32790;
constexpr int ViewTrains = 32791;
constexpr int ViewRefresh = 32792;
constexpr int ViewAlarms = 32793;
constexpr int MuteAlarms5 = 32794;
constexpr int MuteAlarms15 = 32795;
constexpr int MuteAlarms60 = 32796;
constexpr int UnmuteAlarms = 32797;
constexpr int NextPane = 57680;
constexpr int PrevPane = 57681;
}  // namespace cmd

constexpr int kRecentFileCount = 4;

// Which view a new document window gets: the main view until the serial
// scope has been opened, the serial scope from then on.
enum class DocumentView { Main, Scope };

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    // `host` is the application that owns the frame: File, New, the radio
    // port and the close go through it. Without one (tests) the frame makes
    // its document windows itself.
    explicit CMainFrame(FrameHost* host = nullptr, QWidget* parent = nullptr);
    ~CMainFrame() override;
    // From here on the frame acts as if it had no application.
    void DetachHost() { host_ = nullptr; }

    QMdiArea* MdiArea() const { return mdiArea_; }
    QToolBar* StandardToolBar() const { return toolBar_; }
    // The action of a command, or null.
    QAction* Action(int commandId) const;
    // The menus in use: 128 while no document is open, 130 while one is.
    int CurrentMenuId() const;
    QMenu* DocumentMenu() const { return documentMenu_; }
    QToolButton* DocumentMenuButton() const { return documentButton_; }
    QLabel* MessagePane() const { return messagePane_; }
    // The radio link: "COM9 → /dev/ttyUSB0", its state, the last good frame.
    QLabel* LinkPane() const { return linkPane_; }
    void UpdateLinkPane();

    // A document window for a new document (empty path) or a file. Its view
    // follows childViewKind and runs its initial update. Null when the file
    // cannot be read.
    CChildFrame* CreateDocumentWindow(const QString& path);
    DocumentView NewDocumentView() const { return newDocumentView_; }
    void SetNewDocumentView(DocumentView view) { newDocumentView_ = view; }
    // Where the collector's scope entries come from, for the scope views.
    ScopeFeed* Feed() const { return feed_; }
    CChildFrame* ActiveChild() const;

    void OnFileNew();
    void OnFileOpen();
    void OnFileClose();
    void OnFileSave();
    void OnFileSaveAs();
    bool SaveActiveDocumentAs(const QString& path);
    void OnApplicationLook(int commandId);
    void OnWindowManager();
    void OnAppAbout();
    void OnViewCustomize();

    // The history views, each a tab; Sites and Trains are opened once and
    // brought forward after that, a Train tab per train.
    SitesView* OpenSitesView();
    TrainsView* OpenTrainsView(int siteNumber = -1);
    TrainView* OpenTrainView(qint64 trainId);
    // The Alarms view; an alarm's train at its axle (0: the train only).
    AlarmsView* OpenAlarmsView();
    TrainView* OpenTrainAtAxle(qint64 trainId, int axle);
    // The red banner of the status bar: "3 unacknowledged alarms" (hidden
    // while there are none), a click opens the Alarms view.
    QPushButton* AlarmBanner() const { return alarmBanner_; }
    AlarmSound* Sound() const { return sound_; }
    // Counts the open alarms again: banner, caption and sound.
    void UpdateAlarms();
    // Reads the active history view again (F5).
    void RefreshActiveView();
    // The history views open now, in the order they were opened: "sites",
    // "trains", "train:<id>" (kept for the next start).
    QStringList OpenHistoryViews() const;

    QStringList RecentFiles() const { return recentFiles_; }
    void AddToRecentFileList(const QString& path);

protected:
    void closeEvent(QCloseEvent* event) override;
    QMenu* createPopupMenu() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The command table (MainFrameActions.cpp).
    QAction* MakeAction(int commandId, const QString& text, const QString& prompt = QString());
    // The commands the toolbar may carry, as the customisation offers them.
    QList<QAction*> ToolbarCommands() const;
    void CreateActions();
    void CreateMenus();
    void CreateToolBar();
    // The documents and tabs (MainFrameDocuments.cpp).
    void CreateTabArea();
    QMdiSubWindow* AddViewTab(QWidget* view);
    void FillDocumentMenu();
    void PlaceDocumentButton();
    void UpdateTabButtons();
    // The recent files (MainFrameRecentFiles.cpp).
    void OpenRecentFile(int index);
    void UpdateRecentFileMenu();
    void LoadRecentFiles();
    void SaveRecentFiles() const;
    // The status bar (MainFrameStatusBar.cpp).
    void CreateStatusBar();
    void UpdateLockIndicators();
    void ShowAlarmBanner();
    // One line in the first main view's pane (the start-up lines' pane).
    void TellInMainPane(const QString& line);
    // The frame itself (MainFrame.cpp).
    void UpdateMenus();
    void UpdateCaption();
    void SaveFrameState() const;
    void RestoreFrameState();

    FrameHost* host_ = nullptr;
    ScopeFeed* feed_ = nullptr;
    DocumentView newDocumentView_ = DocumentView::Main;
    QMdiArea* mdiArea_ = nullptr;
    QPointer<QTabBar> tabBar_;
    QToolButton* documentButton_ = nullptr;
    QMenu* documentMenu_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    QLabel* messagePane_ = nullptr;
    QLabel* linkPane_ = nullptr;
    QLabel* capsPane_ = nullptr;
    QLabel* numPane_ = nullptr;
    QLabel* scrollPane_ = nullptr;
    LockKeys* lockKeys_ = nullptr;
    QPushButton* alarmBanner_ = nullptr;
    AlarmSound* sound_ = nullptr;
    QPointer<ConsoleHistory> watchedHistory_;
    qint64 openAlarms_ = 0;

    std::map<int, QAction*> actions_;
    QMenu* fileMenu128_ = nullptr;
    QMenu* fileMenu130_ = nullptr;
    QMenu* commandsMenu_ = nullptr;
    QMenu* viewMenu_ = nullptr;
    QMenu* toolbarsMenu_ = nullptr;
    QMenu* helpMenu_ = nullptr;
    QActionGroup* lookGroup_ = nullptr;
    QList<QAction*> recentActions128_;
    QList<QAction*> recentActions130_;
    QStringList recentFiles_;
    int documentCount_ = 0;
    bool closing_ = false;
    bool adjustingTabs_ = false;
};
