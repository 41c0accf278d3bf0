// The serial scope under a flood of log lines: lines appended per second
// through the scope window's own message path (time stamp, coloured text,
// daily log file), and resident memory as the count passes 1,000,000 lines.
// Runs offscreen; the window is shown so that it lays out and repaints as
// it would on a desk, with events processed every 1000 lines.
// KESTOVA_SCOPE_BENCH_LINES=N runs N lines instead (a quick look while
// working on the pane; the table's memory row needs the full count).
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BenchTable.h"
#include "console/SerialScopeView.h"
#include "common/Colours.h"
#include "common/Globals.h"
#include "common/Messages.h"
#include "common/ScopeEntry.h"
#include "platform/ScopeLog.h"

namespace {

double ResidentMiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

std::int64_t kLines = 1000000;

// One scope, fed 1,000,000 lines; the counters carry the memory figures.
void BM_ScopeAppend(benchmark::State& state) {
    char folder[] = "/tmp/kestova-scope-bench-XXXXXX";
    if (::mkdtemp(folder) == nullptr) std::abort();
    const std::string saved = exeDirectory;
    exeDirectory = std::string(folder) + "/";
    SetScopeLogEnabled(state.range(0) == 1);

    auto* view = new CFViewSerialScope(nullptr);
    view->resize(900, 600);
    view->show();
    view->OnInitialUpdate();
    QApplication::processEvents();

    const double before = ResidentMiB();
    double at100k = 0.0;
    double at500k = 0.0;
    double peak = 0.0;
    std::int64_t line = 0;
    char text[160];
    for (auto _ : state) {
        std::snprintf(text, sizeof text,
                      "Data Packet packet from SiteID = %d, sent to CollectorID = 250 (line %lld)\n",
                      static_cast<int>(line % 200), static_cast<long long>(line));
        SendToScope(WM_LOG_TEXT, COLOUR_DARK_BLUE, reinterpret_cast<LPARAM>(text));
        ++line;
        if (line % 1000 == 0) QApplication::processEvents();
        if (line % 100000 == 0) {
            const double now = ResidentMiB();
            if (line == 100000) at100k = now;
            if (line == 500000) at500k = now;
            if (now > peak) peak = now;
        }
    }
    const double after = ResidentMiB();
    state.counters["rss_before_MiB"] = before;
    state.counters["rss_100k_MiB"] = at100k;
    state.counters["rss_500k_MiB"] = at500k;
    state.counters["rss_peak_MiB"] = peak;
    state.counters["rss_end_MiB"] = after;
    state.counters["lines_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                       benchmark::Counter::kIsRate);
    view->OnDestroy();
    delete view;
    SetScopeLogEnabled(false);
    exeDirectory = saved;
    std::filesystem::remove_all(folder);
}
// Arg: 0 = the pane only, 1 = the pane and the daily log file (as shipped).
void Register() {
    if (const char* lines = std::getenv("KESTOVA_SCOPE_BENCH_LINES")) {
        const long long wanted = std::atoll(lines);
        if (wanted > 0) kLines = wanted;
    }
    benchmark::RegisterBenchmark("BM_ScopeAppend", BM_ScopeAppend)
        ->Arg(1)
        ->Arg(0)
        ->Iterations(kLines)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
}

std::vector<benchtable::Row> Tabulate(const benchtable::Runs& runs) {
    using benchtable::Counter;
    using benchtable::Format;
    std::vector<benchtable::Row> rows;
    const std::string iterations = "/iterations:" + std::to_string(kLines) + "/real_time";
    for (const std::string& name : {"BM_ScopeAppend/1" + iterations, "BM_ScopeAppend/0" + iterations}) {
        const bool withFile = name.find("/1/") != std::string::npos;
        const double seconds = benchtable::SecondsPerIteration(runs, name) * static_cast<double>(kLines);
        if (seconds <= 0) continue;
        const double rate = static_cast<double>(kLines) / seconds;
        rows.push_back({withFile ? "Scope appends/s (pane + daily log file)" : "  scope appends/s (pane only)",
                        withFile ? ">= 20000" : "(info)", Format("%.0f", rate), !withFile || rate >= 20000});
        if (withFile) {
            const double at100k = Counter(runs, name, "rss_100k_MiB");
            const double at500k = Counter(runs, name, "rss_500k_MiB");
            const double end = Counter(runs, name, "rss_end_MiB");
            // Bounded: the pane is full from 100,000 lines on; from 500,000
            // to 1,000,000 lines resident memory must not grow by more than
            // 5 % (allocator noise), i.e. it no longer follows the count.
            rows.push_back({"Console RSS after 1,000,000 lines (MiB)", "bounded",
                            Format("%.0f", end) + Format(" (%.0f@100k ", at100k) + Format("%.0f@500k)", at500k),
                            at500k > 0 && end <= at500k * 1.05});
        }
    }
    return rows;
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    Register();
    return benchtable::RunAndTabulate(argc, argv, Tabulate);
}
