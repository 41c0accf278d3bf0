#include "collector/OperatorCommands.h"

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "collector/StdoutScope.h"
#include "common/Globals.h"
#include "common/LinkStatus.h"
#include "engine/SiteBoard.h"
#include "engine/Worker.h"
#include "platform/Profile.h"
#include "platform/RadioPortSetting.h"
#include "records/Callers.h"
#include "records/HistoryText.h"
#include "records/TrainHistory.h"

namespace {

constexpr int kDefaultTrainCount = 20;
const SiteBoard* siteBoard = nullptr;

// The history for one command, read-only; null (and a line on stderr) when
// there is none yet.
std::unique_ptr<TrainHistory> OpenHistory(bool complain) {
    std::string why;
    auto history = TrainHistory::OpenForReading(HistoryPath(exeDirectory), nullptr, &why);
    if (!history && complain) {
        std::fprintf(stderr, "train history %s: %s\n", HistoryPath(exeDirectory).c_str(), why.c_str());
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

void Complain(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

}  // namespace

void SetOperatorSiteBoard(const SiteBoard* board) { siteBoard = board; }

void RunOperatorCommand(std::string_view line, StdoutScope& scope) {
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
        echoSiteId.store(static_cast<std::uint8_t>(ParseLeadingInt(words[1]) & 0xFF));
        echoLength.store(ParseLeadingInt(words[2]));
        echoRequested.store(1);
        return;
    }
    if (command == "list") {
        std::string path;
        if (ListCallers(&path)) scope.Raw(path + "\n");
        return;
    }
    if (command == "status") {
        scope.Raw(FormatLinkStatus(GetLinkStatus()) + "\n");
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
        if (!WriteRadioPortSetting(comNumber))
            Complain("the radio port could not be written to " + std::string(SETTINGS_FILE_NAME));
        RequestPortSwitch(comNumber);
        return;
    }
    if (command == "sites") {
        if (words.size() != 1) {
            Complain("usage: sites");
            return;
        }
        auto history = OpenHistory(false);
        scope.Raw(FormatSiteTable(BuildSiteRows(siteBoard, history.get(), std::time(nullptr))));
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
        auto history = OpenHistory(true);
        if (!history) return;
        scope.Raw(FormatTrainTable(history->ListTrains(filter, 0, count)));
        return;
    }
    Complain("unknown command \"" + std::string(command) +
             "\" (commands: echo SITE LENGTH, list, status, port N, sites, trains [SITE] [COUNT])");
}
