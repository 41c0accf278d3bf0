// The serial scope under a flood of log lines, and the radio while the
// console does not keep up.
//
// BM_ScopeAppend: lines made by a collector (LogLine: the day's log file,
// then the scope's queue) and shown in a scope pane that drains the queue
// in batches whenever the event loop runs (every 1000 lines here), as the
// console does; lines per second counted end to end, pane included, and
// resident memory as the count passes 1,000,000 lines. Runs offscreen; the
// view is shown so that it lays out and repaints as it would on a desk.
// KESTOVA_SCOPE_BENCH_LINES=N runs N lines instead (a quick look while
// working on the pane; the table's memory row needs the full count).
//
// BM_GrantWhileFlooded: a collector's real worker thread answers Requests
// to Transmit while another thread floods its scope with lines and the
// console's thread never drains them (a pane stuck in a repaint): the time
// from the request being on the port to the grant being written.
//
// BM_AlarmToBanner: the console's own pieces (a collector's real worker on
// an in-memory port, the console's history recorder, the main frame) take
// an All-in-One train whose readings give alarms: the time from its last
// byte being on the port to the status bar's banner counting its alarms
// (the report written, the train and its alarms stored, the count read
// again on the window thread).
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchTable.h"
#include "common/Colours.h"
#include "common/LogLine.h"
#include <QPushButton>
#include <QSettings>

#include "console/ConsoleHistory.h"
#include "console/MainFrame.h"
#include "console/ScopeFeed.h"
#include "console/SerialScopeView.h"
#include "engine/Collector.h"
#include "engine/ScopeQueue.h"
#include "radio/Frame.h"
#include "radio/SerialPort.h"

namespace {

double ResidentMiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

std::int64_t kLines = 1000000;

struct TempFolder {
    TempFolder() {
        char pattern[] = "/tmp/kestova-scope-bench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) std::abort();
        path = pattern;
    }
    ~TempFolder() { std::filesystem::remove_all(path); }
    std::string path;
};

std::unique_ptr<Collector> MakeCollector(const std::string& folder, bool scopeLog, MemorySerialPort** port) {
    CollectorSetup setup;
    setup.dataFolder = folder;
    auto owned = std::make_unique<MemorySerialPort>();
    *port = owned.get();
    setup.port = std::move(owned);
    setup.scopeLog = scopeLog;
    return std::make_unique<Collector>(std::move(setup));
}

// One scope, fed 1,000,000 lines; the counters carry the memory figures.
void BM_ScopeAppend(benchmark::State& state) {
    TempFolder folder;
    MemorySerialPort* port = nullptr;
    auto collector = MakeCollector(folder.path, state.range(0) == 1, &port);
    ScopeFeed feed;
    collector->SetScopeView(feed.Queue());

    auto* view = new CFViewSerialScope(nullptr, &feed);
    view->resize(900, 600);
    view->show();
    view->OnInitialUpdate();
    QApplication::processEvents();

    const double before = ResidentMiB();
    double at100k = 0.0;
    double at500k = 0.0;
    double peak = 0.0;
    std::int64_t line = 0;
    for (auto _ : state) {
        LogLine(*collector, COLOUR_DARK_BLUE,
                "Data Packet packet from SiteID = %d, sent to CollectorID = 250 (line %lld)\n",
                static_cast<int>(line % 200), static_cast<long long>(line));
        ++line;
        if (line % 1000 == 0) QApplication::processEvents();
        if (line % 100000 == 0) {
            const double now = ResidentMiB();
            if (line == 100000) at100k = now;
            if (line == 500000) at500k = now;
            if (now > peak) peak = now;
        }
    }
    // Every line in the pane counts: what is still queued is shown inside
    // the measured time.
    feed.DrainAll();
    const double after = ResidentMiB();
    state.counters["rss_before_MiB"] = before;
    state.counters["rss_100k_MiB"] = at100k;
    state.counters["rss_500k_MiB"] = at500k;
    state.counters["rss_peak_MiB"] = peak;
    state.counters["rss_end_MiB"] = after;
    state.counters["skipped"] = static_cast<double>(feed.Queue()->Skipped());
    state.counters["lines_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                       benchmark::Counter::kIsRate);
    view->OnDestroy();
    delete view;
    collector->SetScopeView(nullptr);
}

// Grant latency with the scope flooded and never drained.
void BM_GrantWhileFlooded(benchmark::State& state) {
    TempFolder folder;
    MemorySerialPort* port = nullptr;
    auto collector = MakeCollector(folder.path, true, &port);
    ScopeFeed feed;  // its queue fills and is never drained: no event loop runs here
    collector->SetScopeView(feed.Queue());
    collector->Start();

    std::atomic<bool> flooding{true};
    std::thread flood([&]() {
        long long n = 0;
        while (flooding.load())
            LogLine(*collector, COLOUR_DARK_BLUE, "flood line %lld from the console's other work\n", ++n);
    });

    const std::vector<std::uint8_t> request =
        BuildFrame(12, COLLECTOR_ID, 0, PT_REQUEST_TO_TRANSMIT, {1, 100, 0});
    const std::vector<std::uint8_t> last = BuildFrame(12, COLLECTOR_ID, 1, PT_LAST_DATA, std::vector<std::uint8_t>(100, 0));
    std::vector<double> latencies;
    auto waitForWrite = [&](std::size_t before) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (port->WrittenSize() <= before && std::chrono::steady_clock::now() < limit)
            std::this_thread::yield();
    };
    for (auto _ : state) {
        port->TakeWritten();
        const auto start = std::chrono::steady_clock::now();
        port->Feed(request);
        waitForWrite(0);
        const auto granted = std::chrono::steady_clock::now();
        const double seconds = std::chrono::duration<double>(granted - start).count();
        state.SetIterationTime(seconds);
        latencies.push_back(seconds);
        // The transfer ends with the train (ACK and report) before the next.
        const std::size_t written = port->WrittenSize();
        port->Feed(last);
        waitForWrite(written);
    }
    flooding = false;
    flood.join();
    collector->Stop(std::chrono::seconds(5));
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        state.counters["median_ms"] = latencies[latencies.size() / 2] * 1e3;
        state.counters["worst_ms"] = latencies.back() * 1e3;
    }
    state.counters["skipped"] = static_cast<double>(feed.Queue()->Skipped());
    collector->SetScopeView(nullptr);
}

// An All-in-One train of `axles` axles (current format, hot-wheel records),
// number `number`, axle 3's left bearing at 200 (an alarm).
std::vector<std::uint8_t> AlarmTrainPayload(std::uint16_t axles, std::uint16_t number) {
    std::vector<std::uint8_t> s(17 + 12 + 112 + 7 * static_cast<std::size_t>(axles), 0);
    std::uint8_t* stream = s.data() + 17;
    stream[0] = 2;
    stream[1] = 112;
    stream[2] = 15;
    stream[4] = static_cast<std::uint8_t>(axles);
    stream[5] = static_cast<std::uint8_t>(axles >> 8);
    std::uint8_t* h = stream + 12;
    h[1] = 0x01;
    h[5] = static_cast<std::uint8_t>(number);
    h[6] = static_cast<std::uint8_t>(number >> 8);
    const std::uint8_t stamp[6] = {26, 12, 7, 15, 0, 0};
    std::memcpy(h + 15, stamp, 6);
    std::memcpy(h + 21, stamp, 6);
    h[33] = static_cast<std::uint8_t>(axles);
    h[34] = static_cast<std::uint8_t>(axles >> 8);
    for (int i = 0; i < axles; ++i) {
        std::uint8_t* a = stream + 124 + 7 * i;
        a[0] = static_cast<std::uint8_t>(40 + i % 5);
        a[1] = static_cast<std::uint8_t>(41 + i % 3);
        a[2] = 120;
        a[3] = 130;
    }
    stream[124 + 7 * 2] = 200;
    return s;
}

void BM_AlarmToBanner(benchmark::State& state) {
    TempFolder folder;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QString::fromStdString(folder.path + "/settings"));
    MemorySerialPort* port = nullptr;
    auto collector = MakeCollector(folder.path + "/", true, &port);
    ScopeFeed feed;
    collector->SetScopeView(feed.Queue());
    std::vector<double> latencies;
    {
        ConsoleHistory history;
        history.Start(*collector);
        CMainFrame frame;
        collector->Start();
        std::uint16_t number = 1;
        for (auto _ : state) {
            const QString before = frame.AlarmBanner()->text();
            const std::vector<std::uint8_t> train =
                BuildFrame(12, COLLECTOR_ID, static_cast<std::uint8_t>(number), PT_ALL_IN_ONE,
                           AlarmTrainPayload(40, number));
            ++number;
            const auto start = std::chrono::steady_clock::now();
            port->Feed(train);
            const auto limit = start + std::chrono::seconds(5);
            while (frame.AlarmBanner()->text() == before && std::chrono::steady_clock::now() < limit) {
                QApplication::processEvents(QEventLoop::AllEvents, 1);
                feed.DrainAll();
            }
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            state.SetIterationTime(seconds);
            latencies.push_back(seconds);
            // The worker's ACK goes out; the line is idle again before the next train.
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            QApplication::processEvents();
        }
        collector->Stop(std::chrono::seconds(5));
        history.Stop();
        frame.DetachHost();
    }
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        state.counters["median_ms"] = latencies[latencies.size() / 2] * 1e3;
        state.counters["worst_ms"] = latencies.back() * 1e3;
    }
    collector->SetScopeView(nullptr);
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
    benchmark::RegisterBenchmark("BM_GrantWhileFlooded", BM_GrantWhileFlooded)
        ->Iterations(20)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime();
    benchmark::RegisterBenchmark("BM_AlarmToBanner", BM_AlarmToBanner)
        ->Iterations(20)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime();
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
        const double skipped = Counter(runs, name, "skipped");
        // Every line must reach the pane for the rate to count.
        rows.push_back({withFile ? "Scope appends/s (pane + daily log file)" : "  scope appends/s (pane only)",
                        withFile ? ">= 50000" : "(info)",
                        Format("%.0f", rate) + (skipped > 0 ? Format(" (%.0f skipped)", skipped) : ""),
                        !withFile || (rate >= 50000 && skipped == 0)});
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
    const std::string grant = "BM_GrantWhileFlooded/iterations:20/manual_time";
    const double median = Counter(runs, grant, "median_ms");
    const double worst = Counter(runs, grant, "worst_ms");
    if (median > 0) {
        rows.push_back({"Request to Transmit to grant, scope flooded and not drained (median, worst of 20, ms)",
                        "<= 20, <= 60", Format("%.2f", median) + Format(", %.2f", worst),
                        median <= 20 && worst <= 60});
    }
    const std::string banner = "BM_AlarmToBanner/iterations:20/manual_time";
    const double bannerMedian = Counter(runs, banner, "median_ms");
    const double bannerWorst = Counter(runs, banner, "worst_ms");
    if (bannerMedian > 0) {
        rows.push_back({"Last byte of an alarm train to the console's alarm banner (median, worst of 20, ms)",
                        "<= 100", Format("%.1f", bannerMedian) + Format(", %.1f", bannerWorst),
                        bannerMedian <= 100});
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
