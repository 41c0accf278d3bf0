#pragma once
// Runs the registered benchmarks, keeps every result, and turns them into
// rows of the performance table (figure, target, measured, pass/fail).
// The targets are ratios of two benchmarks of the same run, so the table is
// computed after all benchmarks have run. "--table=FILE" appends the rows to
// FILE as "figure|target|measured|result" lines (result: pass, FAIL or -) (scripts/bench collects them).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace benchtable {

struct Row {
    std::string figure;
    std::string target;
    std::string measured;
    bool pass;
};

using Runs = std::map<std::string, benchmark::BenchmarkReporter::Run>;

// Seconds of real time per iteration of the named benchmark (0 if absent).
inline double SecondsPerIteration(const Runs& runs, const std::string& name) {
    auto it = runs.find(name);
    if (it == runs.end() || it->second.iterations == 0) return 0.0;
    return it->second.real_accumulated_time / static_cast<double>(it->second.iterations);
}

inline double Counter(const Runs& runs, const std::string& name, const std::string& counter) {
    auto it = runs.find(name);
    if (it == runs.end()) return 0.0;
    auto c = it->second.counters.find(counter);
    return c == it->second.counters.end() ? 0.0 : static_cast<double>(c->second);
}

inline std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

class CollectingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& reports) override {
        for (const Run& run : reports)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) runs[run.benchmark_name()] = run;
        ConsoleReporter::ReportRuns(reports);
    }
    Runs runs;
};

inline int RunAndTabulate(int argc, char** argv, const std::function<std::vector<Row>(const Runs&)>& tabulate) {
    std::string tablePath;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--table=", 8) == 0) {
            tablePath = argv[i] + 8;
        } else {
            args.push_back(argv[i]);
        }
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const std::vector<Row> rows = tabulate(reporter.runs);
    // Rows without a target of their own only explain the ones above them.
    auto result = [](const Row& row) {
        if (row.target == "(info)" || row.target == "-") return "-";
        return row.pass ? "pass" : "FAIL";
    };
    std::printf("\n%-58s %-14s %-22s %s\n", "figure", "target", "measured", "result");
    for (const Row& row : rows)
        std::printf("%-58s %-14s %-22s %s\n", row.figure.c_str(), row.target.c_str(),
                    row.measured.c_str(), result(row));
    if (!tablePath.empty()) {
        std::ofstream out(tablePath, std::ios::app);
        for (const Row& row : rows)
            out << row.figure << '|' << row.target << '|' << row.measured << '|' << result(row) << '\n';
    }
    return 0;
}

}  // namespace benchtable
