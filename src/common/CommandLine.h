#pragma once
// The command line of the programs: long options ("--name value",
// "--name=value"), "-h" for "--help", "--" ending the options; everything
// else is an operand. Values are checked in full: "--port abc" is an error,
// never 0.
#include <map>
#include <string>
#include <vector>

struct OptionRule {
    std::string name;         // "--port"
    bool takesValue = false;  // "--port N"
};

struct ParsedCommandLine {
    std::map<std::string, std::string> options;  // name -> value ("" for a flag)
    std::vector<std::string> operands;
    std::string error;  // "" when the command line is good

    bool Has(const std::string& name) const { return options.count(name) != 0; }
    std::string Value(const std::string& name) const {
        auto it = options.find(name);
        return it == options.end() ? std::string() : it->second;
    }
};

// Parses args (without the program name). An unknown option or a missing
// value sets error ("unknown option --x", "--port needs a value"). With
// passUnknown, options that are not in rules are kept as operands instead
// (for a first look before a toolkit has taken its own options).
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args,
                                   const std::vector<OptionRule>& rules, bool passUnknown = false);

// The whole of text as a decimal number in [lo, hi]: no blanks, no sign
// other than a leading '-', nothing after the digits.
bool ParseIntInRange(const std::string& text, long long lo, long long hi, long long* out);
