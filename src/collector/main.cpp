// kestova-collector: the collection engine without the console. Data folder,
// radio port and caller registry as the console has them; the serial scope
// goes to stdout, operator commands come from stdin, SIGINT or SIGTERM stops
// the worker and ends the program.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "collector/CollectorOptions.h"
#include "collector/OperatorCommands.h"
#include "collector/StationCheck.h"
#include "collector/StdoutScope.h"
#include "engine/Collector.h"
#include "engine/EventHub.h"
#include "engine/HistoryRecorder.h"
#include "engine/SiteBoard.h"
#include "engine/Startup.h"
#include "platform/JournalStream.h"
#include "platform/Paths.h"

namespace {

constexpr int kExitNoPort = 2;
constexpr int kExitWorkerStuck = 1;
constexpr auto kStopWait = std::chrono::seconds(3);
constexpr std::size_t kMaxCommandLine = 1024;

int signalPipe[2] = {-1, -1};

extern "C" void OnStopSignal(int) {
    const int saved = errno;
    const char byte = 1;
    (void)!::write(signalPipe[1], &byte, 1);
    errno = saved;
}

bool InstallSignals() {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGINT, &action, nullptr) != 0 || ::sigaction(SIGTERM, &action, nullptr) != 0)
        return false;
    // A reader of stdout that goes away must not end the collection.
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

void PrintNoPortError(const std::string& folder) {
    const std::string settings = folder + SETTINGS_FILE_NAME;
    const std::string link = folder + "Ports/COM1";
    std::fprintf(stderr,
                 "kestova-collector: no radio port is configured.\n"
                 "  Set it in \"%s\", section \"%s\", key \"%s\" (the COM number), e.g.:\n"
                 "      [%s]\n"
                 "      %s=1\n"
                 "  and link the radio's device as \"Ports/COM<number>\" in \"%s\", e.g.:\n"
                 "      mkdir -p \"%sPorts\" && ln -s /dev/ttyUSB0 \"%s\"\n"
                 "  (without a link, COM<number> is /dev/ttyS<number-1>).\n",
                 settings.c_str(), RADIO_PORT_SECTION, RADIO_PORT_KEY, RADIO_PORT_SECTION, RADIO_PORT_KEY,
                 folder.c_str(), folder.c_str(), link.c_str());
    std::fflush(stderr);
}

// Waits for a stop signal while carrying out the commands on stdin. End of
// input is not a reason to stop: the collector runs on without commands.
void ServeUntilStopped(const OperatorContext& context) {
    pollfd fds[2] = {{signalPipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    std::string pending;
    bool discarding = false;  // inside a line that was too long
    char chunk[512];
    for (;;) {
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents != 0) return;
        if (fds[1].revents == 0) continue;
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            fds[1].fd = -1;  // end of input (or a broken stdin): ignore it from now on
            continue;
        }
        for (ssize_t i = 0; i < n; ++i) {
            const char c = chunk[i];
            if (c == '\n') {
                if (!discarding) RunOperatorCommand(pending, context);
                pending.clear();
                discarding = false;
            } else if (!discarding) {
                pending.push_back(c);
                if (pending.size() > kMaxCommandLine) {
                    std::fprintf(stderr, "command line too long, ignored\n");
                    std::fflush(stderr);
                    pending.clear();
                    discarding = true;
                }
            }
        }
    }
}

// Texts the operator must acknowledge: without a window, one line each on
// stderr (line breaks become blanks).
class StderrOperatorMessages final : public IEventSubscriber {
public:
    void OnEngineEvent(const EngineEvent& event) override {
        if (event.kind != EventKind::OperatorMessage) return;
        std::string line;
        for (char c : event.text) {
            if (c == '\r') continue;
            line.push_back(c == '\n' ? ' ' : c);
        }
        std::fprintf(stderr, "%s\n", line.c_str());
        std::fflush(stderr);
    }
};

}  // namespace

int main(int argc, char** argv) {
    CollectorOptions options;
    if (const int status = ReadCollectorOptions(argc, argv, &options); status >= 0) return status;
    DataFolderChoice choice;
    choice.commandLineFolder = options.dataFolder;
    choice.installed = InstalledDataFolder::Service;
    std::string origin;
    const std::string folder = ProgramDataFolder(choice, &origin);
    if (options.check) return RunStationCheck(folder, origin, options.port, stdout) ? 0 : 1;
    // On stderr: stdout is the scope, whose first lines are fixed.
    std::fprintf(stderr, "kestova-collector: data folder %s (%s)\n", folder.c_str(), origin.c_str());
    std::fflush(stderr);
    if (!InstallSignals()) {
        std::perror("kestova-collector: signal set-up");
        return 1;
    }

    CollectorSetup setup;
    setup.dataFolder = folder;
    auto collector = std::make_unique<Collector>(std::move(setup));
    const bool colour = ::isatty(STDOUT_FILENO) == 1 && std::getenv("NO_COLOR") == nullptr;
    auto scope = std::make_shared<StdoutScope>(
        stdout, colour, [c = collector.get()](const std::string& line) { c->LogPaneLine(line); });

    // The scope is in place before the port opens, so a port that cannot be
    // opened is reported there; the port keeps trying on its own.
    StartupSteps steps;
    steps.paneLine = [&scope](Colour c, const std::string& text) { scope->PaneLine(c, text); };
    steps.openScope = [&scope, &collector] { collector->SetScopeView(scope); };
    steps.scopeBeforePort = true;
    steps.portForThisRun = options.port;
    bool badPortSetting = false;
    steps.portSettingError = [&badPortSetting](const std::string& error) {
        std::fprintf(stderr, "kestova-collector: %s\n", error.c_str());
        std::fflush(stderr);
        badPortSetting = true;
    };
    if (RunStartup(*collector, steps) == -1) {
        if (!badPortSetting) PrintNoPortError(folder);
        return kExitNoPort;
    }

    // The train history and the sites table follow the engine's events; their
    // notices go to stderr, so stdout stays the scope.
    EventHub& events = collector->Events();
    // Under systemd, ERROR lines are of priority err and alarm lines crit,
    // so "journalctl -p crit" shows exactly the alarms.
    const bool journal = IsJournalStream(STDERR_FILENO, std::getenv("JOURNAL_STREAM"));
    HistoryRecorder history(collector->Callers(), [journal](const std::string& line, bool error) {
        std::fprintf(stderr, "%s%s\n", journal && error ? "<3>" : "", line.c_str());
        std::fflush(stderr);
    });
    history.SetAlarmListener([journal](const AlarmRow& alarm) {
        std::fprintf(stderr, "%s%s\n", journal ? "<2>" : "", AlarmLine(alarm).c_str());
        std::fflush(stderr);
    });
    SiteBoard board;
    StderrOperatorMessages messages;
    events.Subscribe(&messages);
    events.Subscribe(&history);
    events.Subscribe(&board);

    collector->Start();

    ServeUntilStopped(OperatorContext{*collector, *scope, &board});

    if (!collector->Stop(kStopWait)) {
        std::fprintf(stderr, "kestova-collector: the worker did not stop within %lld s\n",
                     static_cast<long long>(kStopWait.count()));
        if (const std::size_t held = collector->Held().Count(); held > 0)
            std::fprintf(stderr, "kestova-collector: %zu held train reports are lost with the process\n", held);
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(kExitWorkerStuck);  // the worker still uses what an orderly exit would free
    }
    if (const std::string elsewhere = collector->HeldElsewhere(); !elsewhere.empty()) {
        std::fprintf(stderr, "kestova-collector: %s\n", elsewhere.c_str());
        std::fflush(stderr);
    }
    events.Unsubscribe(&board);
    history.Stop();                // a catch-up still running is finished by the next start
    events.Unsubscribe(&history);  // indexes what is still queued
    events.Unsubscribe(&messages);
    collector->SetScopeView(nullptr);
    collector.reset();
    std::fflush(stdout);
    return 0;
}
