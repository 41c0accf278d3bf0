#pragma once
// The start-up and the stop that the console and the headless collector
// share. What differs between the two (where the main pane's lines go, how a
// missing port is chosen, what the serial scope is) comes in as steps.
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "common/Colours.h"
#include "engine/Worker.h"

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
};

// Fills exeDirectory, turns the day's scope log on, writes the main pane's
// first lines, reads the radio port (or has it chosen), opens it and the
// scope, and loads the caller registry. Returns the COM number, or -1 when there is none (no port and
// no scope opened then). The worker is not started.
int RunStartup(const StartupSteps& steps);

// The one worker thread: started once, stopped by workerStop with a bounded
// wait.
class CollectorWorker {
public:
    CollectorWorker() = default;
    ~CollectorWorker();  // a thread still running is left to the process end
    CollectorWorker(const CollectorWorker&) = delete;
    CollectorWorker& operator=(const CollectorWorker&) = delete;

    // Starts the thread the first time; false afterwards.
    bool Start();
    // Sets workerStop and waits until the worker has ended, at most
    // `timeout`, calling `whileWaiting` every few milliseconds (the console
    // handles the worker's window messages there). True when the worker has
    // ended (or never started); false when it is still inside a wait of its
    // own: it is then abandoned, and the process must end without the
    // destructors that would pull its port and globals away.
    bool Stop(std::chrono::milliseconds timeout, const std::function<void()>& whileWaiting = {});

    StartRecord& Record() { return record_; }
    bool Started() const { return started_; }

private:
    StartRecord record_;
    std::thread thread_;
    bool started_ = false;
};
