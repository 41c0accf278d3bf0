#include "engine/Startup.h"

#include "common/Globals.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "platform/ScopeLog.h"
#include "radio/SerialPort.h"
#include "records/Callers.h"

int RunStartup(const StartupSteps& steps) {
    InitExeDirectory();
    // From here every scope entry reaches the day's log, also those made
    // before a scope exists (a port that cannot be opened).
    SetScopeLogEnabled(true);
    steps.paneLine(COLOUR_DARK_RED, "Program Started!\n");
    steps.paneLine(COLOUR_DARK_RED, "Our (Collector) ID is " + std::to_string(COLLECTOR_ID) + ".\n");

    const std::string settings = DataPath(SETTINGS_FILE_NAME);
    int port = steps.portForThisRun != -1
                   ? steps.portForThisRun
                   : GetProfileInt(settings, RADIO_PORT_SECTION, RADIO_PORT_KEY, -1);
    if (port == -1 && steps.choosePort) {
        port = steps.choosePort();
        if (port != -1) WriteProfileInt(settings, RADIO_PORT_SECTION, RADIO_PORT_KEY, port);
    }
    if (port != -1) {
        steps.paneLine(COLOUR_DARK_RED, "Using Serial Port COMM " + std::to_string(port) + "\n\n");
        if (steps.scopeBeforePort && steps.openScope) steps.openScope();
        // The index is the COM number less one; its result changes nothing
        // here (a port that is away is retried by the port itself).
        RadioPort().Open(static_cast<std::uint8_t>(port - 1));
        if (!steps.scopeBeforePort && steps.openScope) steps.openScope();
    }
    LoadCallers();
    return port;
}

CollectorWorker::~CollectorWorker() {
    if (thread_.joinable()) thread_.detach();
}

bool CollectorWorker::Start() {
    if (started_) return false;
    started_ = true;
    workerStop = 0;
    record_.threadState = WORKER_RUNNING;
    thread_ = std::thread([this]() { CollectorThreadProc(&record_); });
    return true;
}

bool CollectorWorker::Stop(std::chrono::milliseconds timeout,
                           const std::function<void()>& whileWaiting) {
    if (!thread_.joinable()) return record_.threadState.load() != WORKER_RUNNING || !started_;
    workerStop = 1;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (record_.threadState.load() != WORKER_ENDED &&
           std::chrono::steady_clock::now() < deadline) {
        if (whileWaiting) whileWaiting();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (record_.threadState.load() != WORKER_ENDED) {
        thread_.detach();
        return false;
    }
    // The thread only returns after setting the state.
    thread_.join();
    return true;
}
