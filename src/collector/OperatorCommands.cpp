#include "collector/OperatorCommands.h"

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "collector/StdoutScope.h"
#include "engine/Collector.h"
#include "common/LinkStatus.h"
#include "engine/ReportRestore.h"
#include "engine/SiteBoard.h"
#include "engine/Worker.h"
#include "platform/Profile.h"
#include "platform/RadioPortSetting.h"
#include "records/Callers.h"
#include "records/HistoryText.h"
#include "records/TrainHistory.h"

namespace {

constexpr int kDefaultTrainCount = 20;

// The history for one command, read-only; null (and a line on stderr) when
// there is none yet.
std::unique_ptr<TrainHistory> OpenHistory(const std::string& folder, bool complain) {
    std::string why;
    auto history = TrainHistory::OpenForReading(HistoryPath(folder), nullptr, &why);
    if (!history && complain) {
        std::fprintf(stderr, "train history %s: %s\n", HistoryPath(folder).c_str(), why.c_str());
        std::fflush(stderr);
    }
    return history;
}

bool ParseCount(std::string_view word, int& value) {
    if (word.empty() || word.size() > 9) return false;
    value = 0;
    for (char c : word) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

// A message box's text as one line (its line breaks become blanks).
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

void Complain(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

}  // namespace

void RunOperatorCommand(std::string_view line, const OperatorContext& context) {
    Collector& collector = context.collector;
    StdoutScope& scope = context.scope;
    const std::string& folder = collector.DataFolder();
    const std::vector<std::string_view> words = Words(line);
    if (words.empty()) return;
    const std::string_view command = words[0];
    if (command == "echo") {
        if (words.size() != 3) {
            Complain("usage: echo SITE LENGTH");
            return;
        }
        // Read as the echo dialog reads its fields: text that is not a
        // number gives 0, the site keeps its low 8 bits, and the worker
        // corrects a length outside 10..1000. Both values are stored
        // before the request is raised.
        collector.RequestEcho(static_cast<std::uint8_t>(ParseLeadingInt(words[1]) & 0xFF),
                              ParseLeadingInt(words[2]));
        return;
    }
    if (command == "list") {
        std::string path, why;
        if (collector.Callers().List(&path, &why))
            scope.Raw(path + "\n");
        else
            Complain(OneLine(why));
        return;
    }
    if (command == "status") {
        scope.Raw(FormatLinkStatus(collector.LinkNow()) + "\n");
        if (const std::string held = collector.HeldSummary(); !held.empty()) scope.Raw(held + "\n");
        if (const std::string transfer = collector.TransferSummary(); !transfer.empty())
            scope.Raw(transfer + "\n");
        if (const std::string reports = ReportsNotInPlaceLine(ReportsNotInPlace(folder)); !reports.empty())
            scope.Raw(reports + "\n");
        return;
    }
    if (command == "port") {
        const bool digits = words.size() == 2 && words[1].size() <= 3 &&
                            words[1].find_first_not_of("0123456789") == std::string_view::npos;
        const int comNumber = digits ? ParseLeadingInt(words[1]) : -1;
        if (!IsRadioPortNumber(comNumber)) {
            Complain("usage: port N (a COM number from 0 to 256)");
            return;
        }
        // Kept for the next start as the console's port dialog keeps it;
        // the worker moves over at its next cycle either way.
        if (!WriteRadioPortSetting(folder, comNumber))
            Complain("the radio port could not be written to " + std::string(SETTINGS_FILE_NAME));
        collector.RequestPortSwitch(comNumber);
        return;
    }
    if (command == "sites") {
        if (words.size() != 1) {
            Complain("usage: sites");
            return;
        }
        auto history = OpenHistory(folder, false);
        scope.Raw(FormatSiteTable(BuildSiteRows(collector.Callers().Snapshot(), context.board,
                                                history.get(), std::time(nullptr))));
        return;
    }
    if (command == "trains") {
        TrainFilter filter;
        int count = kDefaultTrainCount;
        if (words.size() > 3 || (words.size() >= 2 && !ParseCount(words[1], filter.siteNumber)) ||
            (words.size() == 3 && !ParseCount(words[2], count))) {
            Complain("usage: trains [SITE] [COUNT]");
            return;
        }
        auto history = OpenHistory(folder, true);
        if (!history) return;
        scope.Raw(FormatTrainTable(history->ListTrains(filter, 0, count)));
        return;
    }
    if (command == "alarms") {
        if (words.size() != 1) {
            Complain("usage: alarms");
            return;
        }
        auto history = OpenHistory(folder, true);
        if (!history) return;
        AlarmFilter open;
        open.unacknowledgedOnly = true;
        scope.Raw(FormatAlarmTable(history->ListAlarms(open, 0, -1)));
        return;
    }
    if (command == "ack") {
        std::int64_t id = 0;
        bool number = words.size() >= 3 && words[1].size() <= 18 &&
                      words[1].find_first_not_of("0123456789") == std::string_view::npos;
        for (char c : number ? words[1] : std::string_view()) id = id * 10 + (c - '0');
        if (!number) {
            Complain("usage: ack ID NAME [COMMENT...]");
            return;
        }
        // The comment is the rest of the line as typed.
        const std::size_t at = words[2].data() - line.data() + words[2].size();
        std::string_view comment = line.substr(at);
        while (!comment.empty() && (comment.front() == ' ' || comment.front() == '\t')) comment.remove_prefix(1);
        while (!comment.empty() && (comment.back() == ' ' || comment.back() == '\t' || comment.back() == '\r'))
            comment.remove_suffix(1);
        std::string why;
        auto history = TrainHistory::OpenForUpdate(HistoryPath(folder), nullptr, &why);
        if (!history) {
            Complain("train history " + HistoryPath(folder) + ": " + why);
            return;
        }
        if (!history->AcknowledgeAlarm(id, std::string(words[2]), std::string(comment), &why)) {
            Complain(why);
            return;
        }
        scope.Raw(FormatAcknowledged(*history->AlarmById(id)));
        return;
    }
    Complain("unknown command \"" + std::string(command) +
             "\" (commands: echo SITE LENGTH, list, status, port N, sites, trains [SITE] [COUNT], alarms, "
             "ack ID NAME [COMMENT])");
}
