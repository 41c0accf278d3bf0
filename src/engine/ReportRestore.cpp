#include "engine/ReportRestore.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "engine/Assembly.h"
#include "platform/AtomicFile.h"
#include "records/TrainHistory.h"
#include "records/TrainReport.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kNamedInLine = 5;

std::string ReportFolder(const std::string& dataFolder) { return dataFolder + REPORT_FOLDER + "/"; }

bool ReadAll(const std::string& path, std::string* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

bool JournaledReportBytes(const JournalRef& ref, std::string* bytes, std::string* why) {
    JournalTrain train;
    if (!ReadJournalRecord(ref, &train, why)) return false;
    auto record = std::make_unique<TrainRecord>();
    AssembleJournalTrain(*record, train);
    *bytes = FormatTrainReport(record->header, record->axleSlots);
    return true;
}

std::vector<JournaledReport> ReportsNotInPlace(const std::string& dataFolder, bool compareBytes,
                                               const std::set<std::string>& unreadable) {
    std::vector<JournaledReport> out;
    for (const auto& [name, ref] : JournalReportIndex(dataFolder)) {
        const std::string path = ReportFolder(dataFolder) + name;
        std::error_code ec;
        JournaledReport report{name, ref, ReportState::Missing};
        if (!fs::exists(path, ec)) {
            if (!ec) out.push_back(report);
            continue;
        }
        report.state = ReportState::Damaged;
        if (!compareBytes) {
            if (unreadable.count(name) != 0) out.push_back(report);
            continue;
        }
        std::string expected, actual;
        // A record the journal cannot give back tells nothing of the file.
        if (!JournaledReportBytes(ref, &expected, nullptr)) continue;
        if (!ReadAll(path, &actual) || actual != expected) out.push_back(report);
    }
    return out;
}

std::vector<JournaledReport> ReportsNotInPlace(const std::string& dataFolder) {
    std::set<std::string> unreadable;
    if (auto history = TrainHistory::OpenForReading(HistoryPath(dataFolder), nullptr, nullptr)) {
        for (std::string& file : history->SkippedFiles()) unreadable.insert(std::move(file));
    }
    return ReportsNotInPlace(dataFolder, false, unreadable);
}

bool RestoreReport(const std::string& dataFolder, const JournaledReport& report, std::string* keptAs,
                   std::string* why) {
    std::string bytes;
    if (!JournaledReportBytes(report.ref, &bytes, why)) return false;
    const std::string folder = ReportFolder(dataFolder);
    const std::string path = folder + report.name;
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (fs::exists(path, ec)) {
        std::string current;
        if (ReadAll(path, &current) && current == bytes) return true;  // in place already
        for (int n = 1;; ++n) {
            const std::string aside = path + ".damaged" + (n == 1 ? "" : "-" + std::to_string(n));
            if (fs::exists(aside, ec)) continue;
            // Linked, not moved: the damaged file stays where it was until
            // the report replaces it.
            fs::create_hard_link(path, aside, ec);
            if (ec) {
                if (why) *why = "the damaged file could not be kept as " + aside + " (" + ec.message() + ")";
                return false;
            }
            if (keptAs) *keptAs = aside;
            break;
        }
    }
    if (WriteFileAtomically(path, bytes.data(), bytes.size()) != AtomicWriteResult::Ok) {
        if (why) *why = std::strerror(errno);
        return false;
    }
    return true;
}

std::string ReportsNotInPlaceLine(const std::vector<JournaledReport>& reports) {
    if (reports.empty()) return "";
    std::string line = std::to_string(reports.size()) +
                       (reports.size() == 1 ? " report file the journal holds is" : " report files the journal holds are") +
                       " missing or damaged:";
    for (std::size_t i = 0; i < reports.size() && i < kNamedInLine; ++i)
        line += (i == 0 ? " " : ", ") + reports[i].name +
                (reports[i].state == ReportState::Missing ? " (missing)" : " (damaged)");
    if (reports.size() > kNamedInLine) line += ", and " + std::to_string(reports.size() - kNamedInLine) + " more";
    return line + " (kestova-trains --restore writes them again)";
}
