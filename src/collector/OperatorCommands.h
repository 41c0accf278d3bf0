#pragma once
// Operator commands of the headless collector, one per line on stdin:
//   echo SITE LENGTH   ask the worker for an echo test, as the echo dialog does
//   list               write the caller listing and print its path
//   status             print the radio link: port, device, state, last frame
//   port N             store COM N as the radio port and switch to it
//   sites              the sites table (registry, history and line)
//   trains [SITE] [COUNT]  the newest COUNT (default 20) trains, of one site number
//   alarms             the alarms not acknowledged, newest first
//   ack ID NAME [COMMENT...]  acknowledge alarm ID in NAME's name
#include <string>
#include <string_view>

class Collector;
class StdoutScope;
class SiteBoard;

// What the commands work on.
struct OperatorContext {
    Collector& collector;
    StdoutScope& scope;            // answers (stdout)
    const SiteBoard* board = nullptr;  // what "sites" reads besides the history and registry
};

// Carries out one command line. Answers go to the scope (stdout) and
// complaints about the line to stderr.
void RunOperatorCommand(std::string_view line, const OperatorContext& context);
