// kestova-trains: lists the trains of the train history "Trains.sqlite",
// shows one train's axles, and re-indexes the report folder. It reads the
// same data folder as the collector (KESTOVA_HOME, else its own folder) and
// works whether or not a collector runs.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/Version.h"
#include "engine/AlarmCommand.h"
#include "engine/Alarms.h"
#include "engine/HistoryRecorder.h"
#include "engine/JournalSiteData.h"
#include "engine/ReportRestore.h"
#include "platform/Paths.h"
#include "records/Callers.h"
#include "records/HistoryText.h"
#include "records/TrainHistory.h"
#include "records/TrainReport.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitNotFound = 1;
constexpr int kExitUsage = 2;  // also: no history, or not a train history

constexpr const char* kUsage =
    "usage: kestova-trains [OPTIONS]\n"
    "Lists the trains of the train history (Trains.sqlite in the data folder), newest first.\n"
    "\n"
    "  --site N           only the trains of site number N (repeated: of any of them)\n"
    "  --from YYYY-MM-DD  only trains from that day on (first time stamp)\n"
    "  --to YYYY-MM-DD    only trains up to and including that day\n"
    "  --alarms           only trains with a reading at its maximum or an alarm the site announced\n"
    "  --limit N          at most N trains\n"
    "  --train ID         the summary and axles of the train with that id\n"
    "  --alarm-list       the alarms instead of the trains: unacknowledged first, then newest first\n"
    "                     (--site, --from, --to by the received time, --limit, --csv, --json apply)\n"
    "  --unacknowledged   with --alarm-list: only the alarms not acknowledged\n"
    "  --ack ID --by NAME [--comment TEXT]\n"
    "                     acknowledge the alarm with that id in NAME's name\n"
    "  --csv, --json      output for scripts instead of a table\n"
    "  --rebuild          index the report folder Z918E again, with a progress bar\n"
    "  --restore          write again, from the train journal, every report file that is missing\n"
    "                     or not as it was written (a changed file is kept as NAME.damaged)\n"
    "  --data-folder DIR  the data folder (default: $KESTOVA_HOME, else the program's folder)\n"
    "  --help             this text\n"
    "  --version          the program's version\n"
    "\n"
    "Exit status: 0 done, 1 no such train, a report that could not be restored, or an alarm\n"
    "unknown or acknowledged already, 2 usage error, or no train history in the folder.\n";

int Usage(const std::string& complaint) {
    std::fprintf(stderr, "kestova-trains: %s\n%s", complaint.c_str(), kUsage);
    return kExitUsage;
}

// A date of the calendar as YYYY-MM-DD; false (with the reason) otherwise.
bool IsDate(const char* text, std::string* why) {
    *why = "is not a date YYYY-MM-DD";
    if (std::strlen(text) != 10 || text[4] != '-' || text[7] != '-') return false;
    for (int i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (text[i] < '0' || text[i] > '9') return false;
    const int year = std::atoi(text), month = std::atoi(text + 5), day = std::atoi(text + 8);
    static const int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) {
        *why = "has no month " + std::to_string(month);
        return false;
    }
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day < 1 || day > kDays[month - 1] || (month == 2 && day == 29 && !leap)) {
        *why = "has no day " + std::to_string(day) + " in its month";
        return false;
    }
    return true;
}

bool IsNumber(const char* text, long long& value) {
    char* end = nullptr;
    if (*text == 0) return false;
    value = std::strtoll(text, &end, 10);
    return *end == 0 && value >= 0;
}

void ProgressBar(int done, int total) {
    constexpr int kWidth = 40;
    const int filled = total > 0 ? static_cast<int>(static_cast<long long>(kWidth) * done / total) : kWidth;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kWidth, ' ');
    std::fprintf(stderr, "\r[%s] %3d%% %d/%d report files", bar.c_str(),
                 total > 0 ? static_cast<int>(100LL * done / total) : 100, done, total);
    std::fflush(stderr);
}

// The alarm rules of the data folder's settings, for indexing; what is
// wrong with them said on stderr.
TrainHistory::AlarmMaker AlarmMaker(const std::string& folder) {
    std::vector<std::string> warnings;
    const AlarmRules rules = LoadAlarmRules(folder + SETTINGS_FILE_NAME, &warnings);
    for (const std::string& w : warnings) std::fprintf(stderr, "kestova-trains: %s\n", w.c_str());
    return HistoryAlarmMaker(rules);
}

int Acknowledge(const std::string& folder, long long id, const std::string& by, const std::string& comment) {
    TrainHistory::OpenStatus status;
    std::string why;
    auto history = TrainHistory::OpenForUpdate(HistoryPath(folder), &status, &why);
    if (!history) {
        std::fprintf(stderr, "kestova-trains: %s: %s\n", HistoryPath(folder).c_str(), why.c_str());
        if (status == TrainHistory::OpenStatus::OtherSchema)
            std::fprintf(stderr, "  (the collector brings it up to date at its start, as kestova-trains --rebuild does)\n");
        return kExitUsage;
    }
    if (!history->AcknowledgeAlarm(id, by, comment, &why)) {
        std::fprintf(stderr, "kestova-trains: %s\n", why.c_str());
        return kExitNotFound;
    }
    std::fputs(FormatAcknowledged(*history->AlarmById(id)).c_str(), stdout);
    return kExitOk;
}

int Rebuild(const std::string& folder) {
    CallerRegistry callers(folder);
    callers.Load();  // site names and radio identifiers for the rows
    const CallerTable registry = callers.Snapshot();
    std::string replaced, why, keptAs;
    auto history = TrainHistory::OpenForWriting(HistoryPath(folder), &replaced, &why, &keptAs);
    if (!replaced.empty())
        std::fprintf(stderr, "kestova-trains: %s was replaced (%s); kept as %s\n",
                     HistoryPath(folder).c_str(), replaced.c_str(),
                     keptAs.substr(keptAs.rfind('/') + 1).c_str());
    if (!history) {
        std::fprintf(stderr, "kestova-trains: cannot write %s: %s\n", HistoryPath(folder).c_str(),
                     why.c_str());
        return kExitUsage;
    }
    history->SetAlarmMaker(AlarmMaker(folder));
    const bool bar = ::isatty(STDERR_FILENO) == 1;
    const auto started = std::chrono::steady_clock::now();
    const CatchUpResult r = history->Rebuild(
        folder + REPORT_FOLDER, RegistrySites(registry.data(), registry.size()),
        [bar](int done, int total) {
            if (bar) {
                ProgressBar(done, total);
            } else {
                std::fprintf(stderr, "%s\n", CatchUpProgressLine(done, total).c_str());
            }
        },
        [bar](const std::string& file, const std::string& reason) {
            std::fprintf(stderr, "%sERROR: report file %s skipped: %s\n", bar ? "\n" : "", file.c_str(),
                         reason.c_str());
        },
        &why, JournalSiteDataLookup(folder));
    if (bar && r.indexed + r.skipped > 0) std::fprintf(stderr, "\n");
    if (!r.ok) {
        std::fprintf(stderr, "kestova-trains: rebuild failed: %s\n", why.c_str());
        return kExitUsage;
    }
    std::printf("%d report files indexed, %d skipped, in %.1f s\n", r.indexed, r.skipped,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    return kExitOk;
}

// Every report the journal holds a train for, read back and compared; those
// missing or changed written again and indexed.
int Restore(const std::string& folder) {
    const std::vector<JournaledReport> reports = ReportsNotInPlace(folder, true);
    if (reports.empty()) {
        std::printf("Every report file the train journal holds is in place\n");
        return kExitOk;
    }
    CallerRegistry callers(folder);
    callers.Load();
    const CallerTable registry = callers.Snapshot();
    const std::vector<SiteInfo> sites = RegistrySites(registry.data(), registry.size());
    std::string why;
    auto history = TrainHistory::OpenForWriting(HistoryPath(folder), nullptr, &why);
    if (history) history->SetAlarmMaker(AlarmMaker(folder));
    if (!history)
        std::fprintf(stderr, "kestova-trains: the restored reports are not indexed now (%s); the collector "
                             "indexes them at its next start\n", why.c_str());
    int failed = 0;
    for (const JournaledReport& report : reports) {
        std::string keptAs;
        if (!RestoreReport(folder, report, &keptAs, &why)) {
            std::fprintf(stderr, "kestova-trains: %s could not be restored: %s\n", report.name.c_str(), why.c_str());
            ++failed;
            continue;
        }
        std::printf("%s restored (%s%s)\n", report.name.c_str(),
                    report.state == ReportState::Missing ? "it was missing" : "it was damaged",
                    keptAs.empty() ? "" : ("; the damaged file is kept as " + FileNameOf(keptAs)).c_str());
        SiteData site;
        if (history && ReadSiteData(report.ref, &site, nullptr) &&
            !history->IndexReport(folder + REPORT_FOLDER + "/" + report.name, site.radioId,
                                  LocalTimeText(site.receivedAt), sites, &why, &site))
            std::fprintf(stderr, "kestova-trains: %s is not indexed now: %s\n", report.name.c_str(), why.c_str());
    }
    return failed > 0 ? kExitNotFound : kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    TrainFilter filter;
    long long limit = -1, train = -1;
    bool csv = false, json = false, rebuild = false, restore = false, alarmList = false;
    AlarmFilter alarmFilter;
    long long ackId = -1;
    std::string dataFolder, ackBy, ackComment;
    bool haveBy = false, haveComment = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* what) -> const char* {
            if (i + 1 >= argc) return nullptr;
            (void)what;
            return argv[++i];
        };
        long long n = 0;
        std::string why;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        } else if (arg == "--version") {
            std::printf("kestova-trains %s\n", KestovaVersion());
            return kExitOk;
        } else if (arg == "--site") {
            const char* v = value("site");
            if (v == nullptr || !IsNumber(v, n) || n > 65535) return Usage("--site takes a site number");
            filter.siteNumbers.push_back(static_cast<int>(n));
        } else if (arg == "--from" || arg == "--to") {
            const char* v = value("date");
            if (v == nullptr) return Usage(arg + " takes a date YYYY-MM-DD");
            if (!IsDate(v, &why)) return Usage(arg + " " + v + " " + why);
            (arg == "--from" ? filter.fromDate : filter.toDate) = v;
        } else if (arg == "--alarms") {
            filter.alarmsOnly = true;
        } else if (arg == "--limit") {
            const char* v = value("limit");
            if (v == nullptr || !IsNumber(v, limit)) return Usage("--limit takes a number");
        } else if (arg == "--train") {
            const char* v = value("train");
            if (v == nullptr || !IsNumber(v, train)) return Usage("--train takes a train id");
        } else if (arg == "--alarm-list") {
            alarmList = true;
        } else if (arg == "--unacknowledged") {
            alarmFilter.unacknowledgedOnly = true;
        } else if (arg == "--ack") {
            const char* v = value("alarm");
            if (v == nullptr || !IsNumber(v, ackId)) return Usage("--ack takes an alarm id");
        } else if (arg == "--by") {
            const char* v = value("name");
            const bool printable = v != nullptr && std::any_of(v, v + std::strlen(v), [](char c) {
                return static_cast<unsigned char>(c) > 0x20 && c != 0x7F;
            });
            if (!printable) return Usage("--by takes the name of who acknowledges");
            ackBy = v;
            haveBy = true;
        } else if (arg == "--comment") {
            const char* v = value("comment");
            if (v == nullptr) return Usage("--comment takes a text");
            ackComment = v;
            haveComment = true;
        } else if (arg == "--csv") {
            csv = true;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--rebuild") {
            rebuild = true;
        } else if (arg == "--restore") {
            restore = true;
        } else if (arg == "--data-folder") {
            const char* v = value("folder");
            if (v == nullptr || *v == 0) return Usage("--data-folder takes a folder");
            dataFolder = v;
        } else {
            return Usage("unknown argument \"" + arg + "\"");
        }
    }
    if (csv && json) return Usage("--csv and --json exclude each other");
    if (!filter.fromDate.empty() && !filter.toDate.empty() && filter.fromDate > filter.toDate)
        return Usage("--from " + filter.fromDate + " is after --to " + filter.toDate);

    std::string origin;
    const std::string folder =
        dataFolder.empty() ? ProgramDataFolder(DataFolderChoice{}, &origin)
                           : (dataFolder.back() == '/' ? dataFolder : dataFolder + "/");

    if (rebuild && restore) return Usage("--rebuild and --restore exclude each other");
    if (ackId >= 0 && !haveBy) return Usage("--ack needs --by NAME");
    if (ackId < 0 && (haveBy || haveComment)) return Usage("--by and --comment go with --ack");
    if (alarmFilter.unacknowledgedOnly && !alarmList) return Usage("--unacknowledged goes with --alarm-list");
    if (ackId >= 0 && (alarmList || rebuild || restore || train >= 0))
        return Usage("--ack excludes --alarm-list, --train, --rebuild and --restore");
    if (alarmList && (rebuild || restore || train >= 0 || filter.alarmsOnly))
        return Usage("--alarm-list excludes --alarms, --train, --rebuild and --restore");
    if (ackId >= 0) return Acknowledge(folder, ackId, ackBy, ackComment);
    if (rebuild) return Rebuild(folder);
    if (restore) return Restore(folder);

    TrainHistory::OpenStatus status;
    std::string why;
    auto history = TrainHistory::OpenForReading(HistoryPath(folder), &status, &why);
    if (!history) {
        std::fprintf(stderr, "kestova-trains: %s: %s\n", HistoryPath(folder).c_str(), why.c_str());
        if (status == TrainHistory::OpenStatus::Missing)
            std::fprintf(stderr, "  (a collector writes it; kestova-trains --rebuild makes it from %s%s)\n",
                         folder.c_str(), REPORT_FOLDER);
        else if (status != TrainHistory::OpenStatus::Failed)
            std::fprintf(stderr, "  (kestova-trains --rebuild replaces it from the report files)\n");
        return kExitUsage;
    }

    if (train >= 0) {
        const auto row = history->Train(train);
        if (!row) {
            std::fprintf(stderr, "kestova-trains: no train with id %lld\n", train);
            return kExitNotFound;
        }
        const auto axles = history->Axles(train);
        const auto siteAlarms = history->SiteAlarms(train);
        std::fputs((json  ? FormatAxleJson(*row, axles, siteAlarms)
                    : csv ? FormatAxleCsv(axles)
                          : FormatAxleTable(*row, axles, siteAlarms))
                       .c_str(),
                   stdout);
        return kExitOk;
    }
    if (alarmList) {
        alarmFilter.siteNumber = filter.siteNumber;
        alarmFilter.fromDate = filter.fromDate;
        alarmFilter.toDate = filter.toDate;
        const auto alarms = history->ListAlarms(alarmFilter, 0, limit < 0 ? -1 : static_cast<int>(limit));
        std::fputs((json ? FormatAlarmJson(alarms) : csv ? FormatAlarmCsv(alarms) : FormatAlarmTable(alarms)).c_str(),
                   stdout);
        return kExitOk;
    }
    const auto rows = history->ListTrains(filter, 0, limit < 0 ? -1 : static_cast<int>(limit));
    std::fputs((json ? FormatTrainJson(rows) : csv ? FormatTrainCsv(rows) : FormatTrainTable(rows)).c_str(),
               stdout);
    return kExitOk;
}
