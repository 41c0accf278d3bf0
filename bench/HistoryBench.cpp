// The train history: indexing one 1200-axle report right after it is
// written, catching up from 10,000 report files, the Trains view over
// 100,000 trains (open, and jump to the end) and the chart of a 1200-axle
// train. Runs offscreen. The folders are made under KESTOVA_BENCH_DIR (or
// the current folder) and removed afterwards.
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QScrollBar>
#include <QTableView>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "BenchTable.h"
#include "common/Output.h"
#include "common/TrainRecord.h"
#include "console/ConsoleHistory.h"
#include "console/TrainView.h"
#include "console/TrainsView.h"
#include "records/TrainHistory.h"
#include "records/TrainReport.h"

namespace {

constexpr int kIndexedReports = 200;

std::string MakeFolder(const char* what) {
    const char* base = std::getenv("KESTOVA_BENCH_DIR");
    std::string pattern = std::string(base != nullptr ? base : ".") + "/kestova-" + what + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr) std::abort();
    return std::filesystem::absolute(name.data()).string() + "/";
}

struct Folder {
    explicit Folder(const char* what) : path(MakeFolder(what)) {}
    ~Folder() { std::filesystem::remove_all(path); }
    std::string path;
};

// A train of `axles` axles, cars of four behind a locomotive of six, hot
// wheel records on, number n, a minute apart from train n - 1.
void MakeTrain(TrainRecord& t, int n, int axles, std::mt19937& random) {
    std::memset(&t, 0, sizeof t);
    std::uint8_t* h = t.header;
    h[1] = 0x01;
    h[2] = 0xF4;
    h[3] = 0x01;
    h[5] = static_cast<std::uint8_t>(n);
    h[6] = static_cast<std::uint8_t>(n >> 8);
    const int minutes = n;
    const std::uint8_t stamp[6] = {26, static_cast<std::uint8_t>(1 + minutes / (60 * 24 * 28) % 12),
                                   static_cast<std::uint8_t>(1 + minutes / (60 * 24) % 28),
                                   static_cast<std::uint8_t>(minutes / 60 % 24),
                                   static_cast<std::uint8_t>(minutes % 60), 0};
    std::memcpy(h + 15, stamp, 6);
    std::memcpy(h + 21, stamp, 6);
    h[27] = 1;
    h[33] = static_cast<std::uint8_t>(axles);
    h[34] = static_cast<std::uint8_t>(axles >> 8);
    h[48] = 48;
    for (int a = 0; a < axles; ++a) {
        std::uint8_t* s = t.axleSlots[a].bytes;
        s[0] = static_cast<std::uint8_t>(25 + random() % 15);
        s[1] = static_cast<std::uint8_t>(25 + random() % 15);
        s[2] = static_cast<std::uint8_t>(random());
        s[3] = static_cast<std::uint8_t>(random());
        s[4] = static_cast<std::uint8_t>(random());
        const bool start = a == 0 || (a >= 6 && (a - 6) % 4 == 0);
        s[5] = static_cast<std::uint8_t>((start ? 0x80 : 0) | (random() & 0x3F));
    }
}

void BM_IndexReport1200(benchmark::State& state) {
    Folder folder("history-index");
    std::mt19937 random(1);
    TrainRecord t;
    MakeTrain(t, 1, static_cast<int>(MAX_AXLES), random);
    NullOutput log;
    if (!WriteTrainReport(folder.path, t.header, t.axleSlots, log)) {
        state.SkipWithError("report not written");
        return;
    }
    // Every iteration indexes a report the history has not seen, as after a
    // train: the same bytes under another name.
    const std::string first = TrainReportPath(folder.path, t.header);
    std::vector<std::string> paths;
    for (int i = 0; i < kIndexedReports; ++i) {
        paths.push_back(first + "." + std::to_string(i) + ".txt");
        std::filesystem::create_hard_link(first, paths.back());
    }
    auto history = TrainHistory::OpenForWriting(HistoryPath(folder.path), nullptr, nullptr);
    const std::vector<SiteInfo> sites;
    std::size_t next = 0;
    for (auto _ : state) {
        std::string why;
        if (!history->IndexReport(paths[next++ % paths.size()], 12, "2026-01-01 00:00:00", sites, &why)) {
            state.SkipWithError(why.c_str());
            break;
        }
    }
}
BENCHMARK(BM_IndexReport1200)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(kIndexedReports);

// The reading of the report alone, the part of the indexing before SQLite.
void BM_ParseReport1200(benchmark::State& state) {
    std::mt19937 random(1);
    TrainRecord t;
    MakeTrain(t, 1, static_cast<int>(MAX_AXLES), random);
    const std::string bytes = FormatTrainReport(t.header, t.axleSlots);
    ParsedReport parsed;
    for (auto _ : state) {
        if (!ParseTrainReport(bytes, parsed, nullptr)) state.SkipWithError("not a report");
        benchmark::DoNotOptimize(parsed);
    }
}
BENCHMARK(BM_ParseReport1200)->Unit(benchmark::kMillisecond);

void BM_CatchUp10000(benchmark::State& state) {
    Folder folder("history-catchup");
    std::mt19937 random(2);
    TrainRecord t;
    NullOutput log;
    for (int n = 1; n <= 10000; ++n) {
        MakeTrain(t, n, 40 + static_cast<int>(random() % 220), random);
        WriteTrainReport(folder.path, t.header, t.axleSlots, log);
    }
    int progressCalls = 0;
    for (auto _ : state) {
        std::filesystem::remove(HistoryPath(folder.path));
        auto history = TrainHistory::OpenForWriting(HistoryPath(folder.path), nullptr, nullptr);
        std::string why;
        const auto r = history->CatchUp(folder.path + REPORT_FOLDER, {}, [&](int, int) { ++progressCalls; },
                                        nullptr, &why);
        if (r.indexed != 10000) state.SkipWithError("not every report was indexed");
    }
    state.counters["progress_calls"] = progressCalls;
}
BENCHMARK(BM_CatchUp10000)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// A history of 100,000 trains (rows only: the view reads no axles).
const std::string& BigHistory() {
    static Folder folder("history-view");
    static const bool made = [] {
        auto history = TrainHistory::OpenForWriting(HistoryPath(folder.path), nullptr, nullptr);
        const char* fill =
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100000) "
            "INSERT INTO trains(site_id, site_number, site_name, unit_type, milepost, track, first_time, "
            "second_time, received, train_number, axles, cars, hb_left_max, hb_left_axle, hb_right_max, "
            "hb_right_axle, maxed_left, maxed_right, alarm, sim_codes, file, file_size, file_mtime) "
            "SELECT 12, 500 + i % 7, 'HLV0001', 'Halvor', 123.4, 1, "
            "datetime('2026-01-01', '+' || i || ' minutes'), datetime('2026-01-01', '+' || i || ' minutes'), "
            "datetime('2026-01-01', '+' || i || ' minutes'), i % 65536, 40 + i % 200, 10 + i % 50, 60, 1, 61, 2, "
            "i % 97 = 0, 0, i % 97 = 0, '48', 'train' || i || '.txt', 10000, 0 FROM n";
        sqlite3_exec(history->Handle(), fill, nullptr, nullptr, nullptr);
        return true;
    }();
    (void)made;
    return folder.path;
}

void BM_TrainsViewOpen(benchmark::State& state) {
    ConsoleHistory history;
    history.ReadOnly(BigHistory());  // no recorder: it would drop rows whose files are not there
    for (auto _ : state) {
        TrainsView view;
        view.resize(1200, 800);
        view.show();
        QApplication::processEvents();
        if (view.Model()->rowCount() != 100000) state.SkipWithError("not 100,000 trains");
        state.PauseTiming();
        view.hide();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_TrainsViewOpen)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_TrainsViewJumpToEnd(benchmark::State& state) {
    ConsoleHistory history;
    history.ReadOnly(BigHistory());  // no recorder: it would drop rows whose files are not there
    TrainsView view;
    view.resize(1200, 800);
    view.show();
    QApplication::processEvents();
    for (auto _ : state) {
        view.Table()->scrollToBottom();
        QApplication::processEvents();
        view.Table()->viewport()->repaint();
        state.PauseTiming();
        QScrollBar* bar = view.Table()->verticalScrollBar();
        if (bar->value() != bar->maximum() || view.Model()->PagesRead() == 0) {
            state.SkipWithError("the end was not shown");
            break;
        }
        view.Model()->Reload();  // the next jump reads its pages again
        view.Table()->scrollToTop();
        QApplication::processEvents();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_TrainsViewJumpToEnd)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_Chart1200(benchmark::State& state) {
    std::vector<ReportAxle> axles(MAX_AXLES);
    std::mt19937 random(3);
    for (std::size_t i = 0; i < axles.size(); ++i) {
        ReportAxle& a = axles[i];
        a.axle = static_cast<std::uint16_t>(i + 1);
        a.car = static_cast<std::uint16_t>(i / 4 + 1);
        a.carStart = i % 4 == 0;
        a.hotBoxLeft = static_cast<std::uint8_t>(i % 150 == 7 ? 255 : 25 + random() % 15);
        a.hotBoxRight = static_cast<std::uint8_t>(25 + random() % 15);
        a.hotWheelLeft = static_cast<std::int16_t>(150 + random() % 60);
        a.hotWheelRight = static_cast<std::int16_t>(150 + random() % 60);
    }
    TrainChartView view;
    view.resize(1200, 500);
    view.show();
    QApplication::processEvents();
    QImage image(view.size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        view.SetTrain(axles);
        QPainter painter(&image);
        view.render(&painter);
    }
}
BENCHMARK(BM_Chart1200)->Unit(benchmark::kMillisecond)->UseRealTime();

std::vector<benchtable::Row> Tabulate(const benchtable::Runs& runs) {
    using benchtable::Format;
    using benchtable::SecondsPerIteration;
    std::vector<benchtable::Row> rows;
    auto ms = [&](const char* name) { return SecondsPerIteration(runs, name) * 1e3; };
    // On a shared machine the wall clock waits for the processor too: the
    // processor time of the same run is shown beside it.
    auto cpu = [&](const char* name) {
        auto it = runs.find(name);
        if (it == runs.end() || it->second.iterations == 0) return std::string();
        return Format(" (cpu %.2f)", it->second.cpu_accumulated_time * 1e3 /
                                         static_cast<double>(it->second.iterations));
    };
    const double index = ms("BM_IndexReport1200/iterations:200/real_time");
    rows.push_back({"Index one 1200-axle report (ms)", "<= 5", Format("%.2f", index) + cpu("BM_IndexReport1200/iterations:200/real_time"),
                    index > 0 && index <= 5});
    rows.push_back({"  of which reading the report back (ms)", "(info)", Format("%.2f", ms("BM_ParseReport1200")), true});
    const double catchUp = SecondsPerIteration(runs, "BM_CatchUp10000/iterations:1/real_time");
    rows.push_back({"History catch-up from 10,000 report files (s)", "<= 15",
                    Format("%.1f", catchUp) + Format(" (cpu %.1f,", [&] {
                        auto it = runs.find("BM_CatchUp10000/iterations:1/real_time");
                        return it == runs.end() ? 0.0 : it->second.cpu_accumulated_time;
                    }()) + Format(" %.0f progress calls)",
                                                     benchtable::Counter(runs, "BM_CatchUp10000/iterations:1/real_time",
                                                                         "progress_calls")),
                    catchUp > 0 && catchUp <= 15});
    const double open = ms("BM_TrainsViewOpen/iterations:5/real_time");
    rows.push_back({"Trains view on 100,000 trains: open (ms)", "<= 500", Format("%.0f", open) + cpu("BM_TrainsViewOpen/iterations:5/real_time"),
                    open > 0 && open <= 500});
    const double end = ms("BM_TrainsViewJumpToEnd/iterations:5/real_time");
    rows.push_back({"Trains view on 100,000 trains: jump to the end (ms)", "<= 500", Format("%.0f", end) + cpu("BM_TrainsViewJumpToEnd/iterations:5/real_time"),
                    end > 0 && end <= 500});
    const double chart = ms("BM_Chart1200/real_time");
    rows.push_back({"1200-axle train chart drawn (ms)", "<= 100", Format("%.1f", chart) + cpu("BM_Chart1200/real_time"),
                    chart > 0 && chart <= 100});
    return rows;
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    return benchtable::RunAndTabulate(argc, argv, Tabulate);
}
