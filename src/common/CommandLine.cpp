#include "common/CommandLine.h"

#include <cerrno>
#include <cstdlib>

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args,
                                   const std::vector<OptionRule>& rules, bool passUnknown) {
    ParsedCommandLine out;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            out.operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = arg == "-h" ? "--help" : arg;
        std::string value;
        bool inlineValue = false;
        const std::size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            inlineValue = true;
        }
        const OptionRule* rule = nullptr;
        for (const OptionRule& s : rules)
            if (s.name == name) rule = &s;
        if (rule == nullptr) {
            if (passUnknown) {
                out.operands.push_back(arg);
                continue;
            }
            out.error = "unknown option " + name;
            return out;
        }
        if (!rule->takesValue) {
            if (inlineValue) {
                out.error = name + " takes no value";
                return out;
            }
            out.options[name] = "";
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                out.error = name + " needs a value";
                return out;
            }
            value = args[++i];
        }
        out.options[name] = value;
    }
    return out;
}

bool ParseIntInRange(const std::string& text, long long lo, long long hi, long long* out) {
    if (text.empty() || !(text[0] == '-' || (text[0] >= '0' && text[0] <= '9'))) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}
