#include "console/KestovaApp.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QGuiApplication>
#include <QSessionManager>
#include <QScreen>
#include <QMdiArea>
#include <QTimer>
#include <QWidget>
#include <chrono>

#include "console/ChildFrame.h"
#include "console/ConsoleHistory.h"
#include "console/DlgPortSelection.h"
#include "console/MainFrame.h"
#include "console/ScopeFeed.h"
#include "console/UserSettings.h"
#include "console/WindowBridge.h"
#include "common/LogLine.h"
#include "platform/Paths.h"
#include "platform/RadioPortSetting.h"
#include "platform/TtySerialPort.h"
#include "radio/SerialPort.h"

namespace {
CKestovaApp* theApp = nullptr;
}

CKestovaApp::CKestovaApp(ConsoleOptions options) : options_(std::move(options)) {
    theApp = this;
    // The per-user settings: recent files, window and toolbar state, the look.
    QCoreApplication::setOrganizationName(SettingsOrganisation());
    QCoreApplication::setApplicationName(SettingsApplication());
    bridge::ResetShutdown();
    bridge::Install();
    // A desktop logout stops the collector without asking.
    if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(gui, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) { RequestQuit(); });
    }
}

CKestovaApp::~CKestovaApp() {
    StopWorker();
    if (collector_ && boxes_) collector_->Events().Unsubscribe(boxes_.get());
    // A frame left behind with an abandoned worker must not reach back here.
    if (!mainFrame_.isNull()) mainFrame_->DetachHost();
    if (!workerAbandoned_) {
        if (collector_) collector_->SetScopeView(nullptr);
        delete mainFrame_.data();
        collector_.reset();
        bridge::Uninstall();
    } else {
        // The worker still uses the collector: it is left to the process end.
        (void)collector_.release();
    }
    if (theApp == this) theApp = nullptr;
}

CKestovaApp* CKestovaApp::Instance() { return theApp; }

bool CKestovaApp::InitInstance(const QStringList& arguments) {
    CollectorSetup setup;
    setup.dataFolder = options_.dataFolder;
    if (options_.makeRadioPort) setup.port = options_.makeRadioPort();
    setup.clock = options_.clock;
    collector_ = std::make_unique<Collector>(std::move(setup));
    boxes_ = std::make_unique<OperatorMessageBoxes>();
    collector_->Events().Subscribe(boxes_.get());

    mainFrame_ = new CMainFrame(this);
    ScopeFeed* feed = mainFrame_->Feed();
    feed->SetLogPath([c = collector_.get()]() { return c->ScopeLogPath(); });
    collector_->SetScopeView(feed->Queue());

    // The command line: a file name opens that file as the first document,
    // nothing creates a new one. Either way the first window's main view
    // brings the collector up before the frame is shown.
    QString file;
    for (const QString& argument : arguments) {
        if (argument.startsWith(QLatin1Char('-'))) continue;  // an option Qt left alone
        file = argument;
    }
    if (!file.isEmpty()) {
        // Absolute or relative alike: a file that cannot be read is said,
        // and start-up ends there.
        QFile probe(file);
        if (!probe.open(QIODevice::ReadOnly)) {
            const QByteArray text = QStringLiteral("The file \"%1\" could not be opened: %2.")
                                        .arg(file, probe.errorString())
                                        .toLocal8Bit();
            bridge::ShowMessageBox(text.constData());
            return false;
        }
    }
    CChildFrame* first = file.isEmpty() ? OnFileNew() : OpenDocumentFile(file);
    if (first == nullptr) return false;

    if (options_.showMainFrame) {
        // Maximised always; where no window manager maximises (a bare X
        // server), the frame still takes the whole screen.
        if (QScreen* screen = QGuiApplication::primaryScreen())
            mainFrame_->setGeometry(screen->availableGeometry());
        mainFrame_->showMaximized();
        mainFrame_->raise();
        mainFrame_->activateWindow();
    }
    if (quitRequested_) RequestQuit();
    // After the start-up has opened the serial scope, so the views are in front.
    QTimer::singleShot(1000, this, &CKestovaApp::OpenDemoViews);
    return true;
}

void CKestovaApp::OpenDemoViews() {
    // KESTOVA_OPEN_VIEWS (set by scripts/run's demonstration) opens the
    // history views at the start: "sites", "trains", "alarms" and "train" (the newest
    // train, once the first one has been indexed), comma-separated. Without
    // it, the views open when the console last ended open again.
    QStringList views = qEnvironmentVariable("KESTOVA_OPEN_VIEWS").split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (views.isEmpty()) views = UserSettings().value(QStringLiteral("Workspace/OpenViews")).toStringList();
    if (views.isEmpty() || mainFrame_.isNull() || history_ == nullptr) return;
    // Where no window manager activates the frame, the tab area would keep
    // its first tab in front of the views opened here.
    QApplication::setActiveWindow(mainFrame_.data());
    for (const QString& view : views) {
        if (view == QStringLiteral("sites")) mainFrame_->OpenSitesView();
        if (view == QStringLiteral("trains")) mainFrame_->OpenTrainsView();
        if (view == QStringLiteral("alarms")) mainFrame_->OpenAlarmsView();
        if (view.startsWith(QStringLiteral("train:"))) mainFrame_->OpenTrainView(view.mid(6).toLongLong());
    }
    if (!views.contains(QStringLiteral("train"))) return;
    auto openNewest = [frame = mainFrame_]() {
        if (frame.isNull()) return false;
        ConsoleHistory* h = ConsoleHistory::Instance();
        std::unique_ptr<TrainHistory> history = h != nullptr ? h->OpenReader() : nullptr;
        if (!history) return false;
        const auto newest = history->ListTrains({}, 0, 1);
        return !newest.empty() && frame->OpenTrainView(newest.front().id) != nullptr;
    };
    if (openNewest()) return;
    auto* once = new QMetaObject::Connection;
    *once = connect(history_, &ConsoleHistory::TrainsChanged, this, [once, openNewest]() {
        if (!openNewest()) return;
        QObject::disconnect(*once);
        delete once;
    });
}

int CKestovaApp::ExitInstance(int code) {
    StopWorker();
    return code;
}

CChildFrame* CKestovaApp::OnFileNew() {
    if (mainFrame_.isNull()) return nullptr;
    return mainFrame_->CreateDocumentWindow(QString());
}

CChildFrame* CKestovaApp::OpenDocumentFile(const QString& path) {
    if (mainFrame_.isNull()) return nullptr;
    return mainFrame_->CreateDocumentWindow(path);
}

bool CKestovaApp::SelectRadioPort() {
    const int port = ChoosePort();
    if (port == -1) return false;
    if (collector_ == nullptr) return false;
    if (!WriteRadioPortSetting(collector_->DataFolder(), port)) {
        const std::string text = "The radio port could not be written to \"" +
                                 collector_->DataFolder() + SETTINGS_FILE_NAME + "\".";
        bridge::ShowMessageBox(text.c_str());
    }
    if (!mainFrame_.isNull() && mainFrame_->NewDocumentView() != DocumentView::Scope) {
        // Started without a port: the scope opens now, as start-up would
        // have opened it.
        OpenScope();
    }
    // The worker moves over at its next cycle; until it has started, the
    // port is opened here.
    if (WorkerStarted()) {
        collector_->RequestPortSwitch(port);
    } else {
        collector_->Port().Open(static_cast<std::uint8_t>(port - 1));
    }
    return true;
}

void CKestovaApp::OpenScope() {
    if (mainFrame_.isNull()) return;
    mainFrame_->SetNewDocumentView(DocumentView::Scope);
    OnFileNew();
}

bool CKestovaApp::WorkerStarted() const {
    return collector_ != nullptr && collector_->State() != WorkerState::NotStarted;
}

bool CKestovaApp::Collecting() const { return WorkerStarted() && !workerStopped_; }

bool CKestovaApp::ConfirmExit() {
    if (quitRequested_ || !Collecting()) return true;
    if (options_.confirmExit) return options_.confirmExit();
    QWidget* parent = mainFrame_.data();
    return QMessageBox::question(parent, QStringLiteral("Kestova"),
                                 QStringLiteral("Stop collecting and exit?"),
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

int CKestovaApp::ChoosePort() {
    PortListRoots roots;
    if (collector_ != nullptr) roots.portsDir = collector_->DataFolder() + "Ports";
    const int port = options_.choosePort ? options_.choosePort()
                                         : CDlgPortSelection::AskForPort(
                                               mainFrame_ && mainFrame_->isVisible() ? mainFrame_.data() : nullptr,
                                               roots);
    // An entry without a COM number comes back as 65535: stored, it would
    // open a wrapped port, so it counts as no choice.
    if (port != -1 && !IsRadioPortNumber(port)) {
        bridge::ShowMessageBox("The chosen serial port has no COM number from 0 to 256; no port was chosen.");
        return -1;
    }
    return port;
}

bool CKestovaApp::StartWorker() {
    if (collector_ == nullptr || WorkerStarted()) return false;
    // The train history and the site board follow the worker's events.
    if (history_ == nullptr) history_ = new ConsoleHistory(this);
    history_->Start(*collector_);
    return collector_->Start();
}

bool CKestovaApp::StopWorker() {
    if (!WorkerStarted() || workerStopped_) return !workerAbandoned_;
    workerStopped_ = true;

    // From here no box opens, so nothing waits for the operator while this
    // thread waits for the worker (the worker itself never waits for a
    // window); the scope keeps draining while waiting.
    bridge::BeginShutdown();
    const bool ended = collector_->Stop(std::chrono::milliseconds(options_.stopTimeoutMs), [] {
        if (QCoreApplication::instance() != nullptr)
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    });
    if (ended) {
        if (history_ != nullptr) history_->Stop();
        if (!mainFrame_.isNull()) mainFrame_->Feed()->DrainAll();
        return true;
    }
    // Still inside a long wait of its own: it is left running; the process
    // ends without the destructors that would pull its collector away.
    workerAbandoned_ = true;
    return false;
}

void CKestovaApp::RequestQuit() {
    quitRequested_ = true;
    // A modal dialog (the port dialog, the echo dialog, a message box) is
    // cancelled first; the frame is closed once its loop has returned.
    bridge::BeginShutdown();
    for (int guard = 0; guard < 16; ++guard) {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr) break;
        if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            dialog->reject();
            if (dialog->isVisible()) dialog->hide();
        } else {
            modal->close();
        }
    }
    if (!mainFrame_.isNull()) {
        QTimer::singleShot(0, mainFrame_.data(), [frame = mainFrame_]() {
            if (frame) frame->close();
        });
    } else {
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    }
}

CMainFrame* CKestovaApp::MainFrame() const { return mainFrame_.data(); }
