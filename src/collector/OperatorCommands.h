#pragma once
// Operator commands of the headless collector, one per line on stdin:
//   echo SITE LENGTH   ask the worker for an echo test, as the echo dialog does
//   list               write the caller listing and print its path
//   status             print the radio link: port, device, state, last frame
//   port N             store COM N as the radio port and switch to it
//   sites              the sites table (registry, history and line)
//   trains [SITE] [COUNT]  the newest COUNT (default 20) trains, of one site number
#include <string>
#include <string_view>

class StdoutScope;
class SiteBoard;

// The board the "sites" command reads (null: the history and registry only).
void SetOperatorSiteBoard(const SiteBoard* board);

// Carries out one command line. Answers go to `scope` (stdout) and
// complaints about the line to stderr.
void RunOperatorCommand(std::string_view line, StdoutScope& scope);
