#include "console/KestovaApp.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QEventLoop>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QMdiArea>
#include <QTimer>
#include <QWidget>
#include <chrono>

#include "common/Globals.h"
#include "console/ChildFrame.h"
#include "console/DlgPortSelection.h"
#include "console/HistoryViews.h"
#include "console/MainFrame.h"
#include "console/UserSettings.h"
#include "console/WindowBridge.h"
#include "platform/ScopeLog.h"
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
}

CKestovaApp::~CKestovaApp() {
    StopWorker();
    if (!workerAbandoned_) {
        delete mainFrame_.data();
        bridge::Uninstall();
    }
    if (theApp == this) theApp = nullptr;
}

CKestovaApp* CKestovaApp::Instance() { return theApp; }

bool CKestovaApp::InitInstance(const QStringList& arguments) {
    if (options_.installRadioPort) {
        options_.installRadioPort();
    } else {
        SetRadioPort(std::make_unique<DeviceSerialPort<TtySerialPort>>());
    }

    mainFrame_ = new CMainFrame();

    // The command line: a file name opens that file as the first document,
    // nothing creates a new one. Either way the first window's main view
    // brings the collector up before the frame is shown.
    QString file;
    for (const QString& argument : arguments) {
        if (argument.startsWith(QLatin1Char('-')) || argument.startsWith(QLatin1Char('/'))) {
            if (QFileInfo(argument).exists()) file = argument;
            continue;
        }
        file = argument;
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
    // history views at the start: "sites", "trains" and "train" (the newest
    // train, once the first one has been indexed), comma-separated.
    const QStringList views = qEnvironmentVariable("KESTOVA_OPEN_VIEWS").split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (views.isEmpty() || mainFrame_.isNull() || history_ == nullptr) return;
    // Where no window manager activates the frame, the tab area would keep
    // its first tab in front of the views opened here.
    QApplication::setActiveWindow(mainFrame_.data());
    if (views.contains(QStringLiteral("sites"))) mainFrame_->OpenSitesView();
    if (views.contains(QStringLiteral("trains"))) mainFrame_->OpenTrainsView();
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

int CKestovaApp::ChoosePort() {
    if (options_.choosePort) return options_.choosePort();
    return CDlgPortSelection::AskForPort(nullptr);
}

bool CKestovaApp::StartWorker() {
    if (worker_.Started()) return false;
    // The train history and the site board follow the worker's events.
    if (history_ == nullptr) history_ = new ConsoleHistory(this);
    history_->Start(exeDirectory);
    return worker_.Start();
}

bool CKestovaApp::StopWorker() {
    if (!worker_.Started() || workerStopped_) return !workerAbandoned_;
    workerStopped_ = true;

    // From here the worker's window messages and message boxes return at
    // once, so it can never wait for this thread while this thread waits
    // for it; messages already queued are still handled while waiting.
    bridge::BeginShutdown();
    const bool ended = worker_.Stop(std::chrono::milliseconds(options_.stopTimeoutMs), [] {
        if (QCoreApplication::instance() != nullptr)
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    });
    if (ended) {
        if (history_ != nullptr) history_->Stop();
        SetScopeLogEnabled(false);
        return true;
    }
    // Still inside a long wait of its own: it is left running; the process
    // ends without the destructors that would pull its port and globals away.
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
