#include "collector/OperatorCommands.h"

#include <cstdio>
#include <string>
#include <vector>

#include "collector/StdoutScope.h"
#include "common/Globals.h"
#include "platform/Profile.h"
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
    Complain("unknown command \"" + std::string(command) + "\" (commands: echo SITE LENGTH, list)");
}
