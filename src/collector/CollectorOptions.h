#pragma once
// kestova-collector's command line.
#include <string>

struct CollectorOptions {
    std::string dataFolder;  // --data-folder DIR ("" = not given)
    int port = -1;           // --port N, 1..256, for this run only (-1 = the settings' port)
    bool check = false;      // --check
};

// Reads argv into *out. --help and --version are answered on stdout, a bad
// command line with a line saying what is wrong and the usage line on
// stderr. Returns -1 when the program is to go on, else its exit status
// (0 after --help or --version, 2 for a bad command line).
int ReadCollectorOptions(int argc, char** argv, CollectorOptions* out);
