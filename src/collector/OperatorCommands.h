#pragma once
// Operator commands of the headless collector, one per line on stdin:
//   echo SITE LENGTH   ask the worker for an echo test, as the echo dialog does
//   list               write the caller listing and print its path
//   status             print the radio link: port, device, state, last frame
//   port N             store COM N as the radio port and switch to it
#include <string>
#include <string_view>

class StdoutScope;

// Carries out one command line. Answers go to `scope` (stdout) and
// complaints about the line to stderr.
void RunOperatorCommand(std::string_view line, StdoutScope& scope);
