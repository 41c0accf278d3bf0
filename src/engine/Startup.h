#pragma once
// The start-up and the stop that the console and the headless collector
// share. What differs between the two (where the main pane's lines go, how a
// missing port is chosen, what the serial scope is) comes in as steps.
#include <functional>
#include <string>

#include "common/Colours.h"
#include "engine/Collector.h"

struct StartupSteps {
    // A start-up line of the main pane, with its line end.
    std::function<void(Colour, const std::string&)> paneLine;
    // Asked when the settings file names no port: a COM number (then saved
    // in the settings file) or -1. Empty: no port.
    std::function<int()> choosePort;
    // Puts the serial scope in place once a port is known: before the port
    // is opened when scopeBeforePort (so the port's own errors reach it),
    // else after.
    std::function<void()> openScope;
    bool scopeBeforePort = false;
    // A COM number given for this run only (the command line): the settings
    // file is then neither read nor written. -1: none.
    int portForThisRun = -1;
    // Told when the settings file holds a value that is no COM number (the
    // text names the file, section and key), or cannot be read at all (the
    // text names the file and why); the start-up then goes on as if no port
    // were chosen.
    std::function<void(const std::string&)> portSettingError;
};

// Writes the main pane's first lines, reads the radio port from the
// collector's settings file (or has it chosen), opens it and the scope, and
// loads the caller registry. Returns the COM number, or -1 when there is
// none (no port and no scope opened then). The worker is not started. The
// day's scope log is the collector's from its construction, so the port's
// own errors reach it.
int RunStartup(Collector& collector, const StartupSteps& steps);
