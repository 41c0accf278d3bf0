#include "collector/OperatorCommands.h"

#include <cstdio>
#include <string>
#include <vector>

#include "collector/StdoutScope.h"
#include "common/Globals.h"
#include "common/LinkStatus.h"
#include "engine/Worker.h"
#include "platform/Profile.h"
#include "platform/RadioPortSetting.h"
#include "records/Callers.h"

namespace {

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
    Complain("unknown command \"" + std::string(command) +
             "\" (commands: echo SITE LENGTH, list, status, port N)");
}
