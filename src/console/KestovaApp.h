#pragma once
// The console application: settings, the main frame, the document windows,
// the one worker thread and a clean stop at the end.
//
// About the console's class names: the C..., CDlg... and CFView... names
// (CKestovaApp, CMainFrame, CChildFrame, CKestovaDoc, CMainView,
// CFViewSerialScope, CRichEditScopeView, CDlgPortSelection, CDlgCmndEcho,
// CDlgCustomize, CAboutDlg, CWindowsDlg) are the names of the operator
// documents the console was written against: the operator's manual names
// its windows and dialogs that way. The classes keep those names so that
// operators and developers speak of the same things. Parts the manual does
// not name (ConsoleHistory, the Sites, Trains and Train views, LockKeys,
// FrameHost and the like) have plain names.
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <functional>
#include <memory>
#include <string>

#include "console/FrameHost.h"
#include "engine/Collector.h"
#include "engine/Startup.h"

class CChildFrame;
class CMainFrame;
class ConsoleHistory;
class OperatorMessageBoxes;

struct ConsoleOptions {
    // The data folder (settings, registry, reports, logs), with or without
    // a trailing "/".
    std::string dataFolder;
    // Makes the radio port before start-up opens it. Default: the real
    // terminal port. Tests make an in-memory port.
    std::function<std::unique_ptr<CSerialPortInterface>()> makeRadioPort;
    // The collector's clock (not owned). Default: its own system clock.
    IClock* clock = nullptr;
    // Asks for the port when none is stored: a COM number, or -1 when none
    // was chosen. Default: the port selection dialog.
    std::function<int()> choosePort;
    // Show the main frame (maximised) at the end of InitInstance.
    bool showMainFrame = true;
    // Open the caller listing in the desktop's viewer first.
    bool useDesktopViewer = true;
    // How long the clean stop waits for the worker to end.
    int stopTimeoutMs = 10000;
    // Asked when the operator closes the console while it collects: true
    // to stop and exit. Default: "Stop collecting and exit?" Yes or No.
    std::function<bool()> confirmExit;
};

class CKestovaApp : public QObject, public FrameHost {
    Q_OBJECT
public:
    explicit CKestovaApp(ConsoleOptions options = {});
    ~CKestovaApp() override;
    CKestovaApp(const CKestovaApp&) = delete;
    CKestovaApp& operator=(const CKestovaApp&) = delete;

    static CKestovaApp* Instance();

    // The application start: the main frame, then the first document window
    // (its main view runs the collector's start-up), then the frame is shown
    // maximised. `arguments` are the command line without the program name;
    // a file name among them is opened as the first document. False ends
    // the program.
    bool InitInstance(const QStringList& arguments);
    // The clean stop (if not done yet); returns `code`.
    int ExitInstance(int code);

    // File, New: a document window; its view is the main view until the
    // serial scope has been opened, the serial scope from then on.
    CChildFrame* OnFileNew() override;
    // File, Open: the same for a file; null when it cannot be read.
    CChildFrame* OpenDocumentFile(const QString& path);

    // Used by the first main view's start-up.
    int ChoosePort();
    bool StartupBegun() const { return startupBegun_; }
    void MarkStartupBegun() { startupBegun_ = true; }
    // Commands, Select Radio Port...: the port dialog; a chosen port is
    // stored and the worker moves to it at its next cycle (the scope opens
    // if there was none). False when nothing was chosen.
    bool SelectRadioPort() override;
    // The worker runs and has not been told to stop.
    bool Collecting() const;
    // Whether the operator's close may go ahead: asked while collecting,
    // never after a signal or a logout (RequestQuit).
    bool ConfirmExit() override;
    // Starts the worker the first time it is called; false afterwards.
    bool StartWorker();
    bool WorkerStarted() const;

    // Asks the worker to stop and waits (bounded, while the event loop
    // runs) until it has ended. True when it has ended or never started.
    // Idempotent.
    bool StopWorker() override;
    // True when the worker did not end within the bound: the process must
    // then end without running its static destructors.
    bool WorkerAbandoned() const { return workerAbandoned_; }

    // Closes the console the way the operator's File, Exit does (signals).
    void RequestQuit() override;

    CMainFrame* MainFrame() const;
    const ConsoleOptions& Options() const { return options_; }
    // The collector of this console (made by InitInstance; null before).
    Collector* GetCollector() const override { return collector_.get(); }
    // Opens the serial scope as start-up does: new document windows show
    // the scope from now on.
    void OpenScope();

private:
    void OpenDemoViews();

    ConsoleOptions options_;
    QPointer<CMainFrame> mainFrame_;
    // The collector (and its worker) belongs to the application so that it
    // outlives whatever windows the operator closes.
    std::unique_ptr<Collector> collector_;
    std::unique_ptr<OperatorMessageBoxes> boxes_;
    ConsoleHistory* history_ = nullptr;
    bool startupBegun_ = false;
    bool workerStopped_ = false;
    bool workerAbandoned_ = false;
    bool quitRequested_ = false;
};
