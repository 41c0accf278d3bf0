#pragma once
// The alarm hook: a program the railway names in [Alarms] Command= of the
// settings file, run once for every new alarm of a train reported live
// (docs/alarms.md, "The alarm command"). It is started with posix_spawn,
// never through a shell: the alarm's fields are its arguments and
// environment variables, as plain strings with their control bytes left
// out, so nothing a site sent can become a command. It runs on a thread of
// its own: whoever hands an alarm over never waits for the program.
//
// At most `maxRunning` run at once; more wait in a queue of at most
// `maxQueued`. One past its time limit gets SIGTERM, and SIGKILL
// `killAfter` later (its whole process group). Each run ends in one line
// (its exit status); a run that fails (an exit status other than 0, a
// signal, the time limit, a program that cannot be started) is tried once
// more, then given up with a line.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/Alarms.h"
#include "records/TrainHistory.h"

struct AlarmCommandSettings {
    std::string program;                        // absolute path; no arguments
    std::chrono::milliseconds timeout{30000};
    std::chrono::milliseconds killAfter{2000};  // SIGKILL this long after SIGTERM
    int maxRunning = 4;
    std::size_t maxQueued = 256;
};

class AlarmCommand {
public:
    // Lines for the operator (error true for those beginning "ERROR").
    using Log = std::function<void(const std::string& line, bool error)>;

    AlarmCommand(AlarmCommandSettings settings, Log log);
    // Stops the thread: queued alarms are not run (a line says how many);
    // programs running are left to finish on their own.
    ~AlarmCommand();
    AlarmCommand(const AlarmCommand&) = delete;
    AlarmCommand& operator=(const AlarmCommand&) = delete;

    // Queues a run for the alarm; never waits.
    void Run(const AlarmRow& alarm);
    // Waits until nothing runs or waits (true), or the time is up.
    bool WaitIdle(std::chrono::milliseconds most);

    // The program's arguments after its name, in this order: alarm id,
    // kind, site number, radio id, site name, train id, train number,
    // received, axle, car, axle in car, side, reading, reference,
    // threshold, code, text. Numbers in decimal; -1 for none.
    static std::vector<std::string> Arguments(const AlarmRow& alarm);
    // KESTOVA_ALARM_ID, _KIND, _SITE, _RADIO_ID, _SITE_NAME, _TRAIN,
    // _TRAIN_NUMBER, _RECEIVED, _AXLE, _CAR, _AXLE_IN_CAR, _SIDE, _READING,
    // _REFERENCE, _THRESHOLD, _CODE, _TEXT as "NAME=value".
    static std::vector<std::string> Environment(const AlarmRow& alarm);

private:
    struct Job {
        AlarmRow alarm;
        int attempt = 1;
    };
    struct Running {
        Job job;
        int pid = 0;
        std::chrono::steady_clock::time_point started, termSent;
        bool terminated = false;
    };
    void Loop();
    // Starts the job: false (with the reason) when the program cannot be started.
    bool Spawn(const Job& job, int* pid, std::string* why);
    // The job failed: queued once more or given up; its line in `lines`.
    void Failed(const Job& job, const std::string& how, std::vector<std::pair<std::string, bool>>& lines);

    AlarmCommandSettings settings_;
    Log log_;
    std::mutex mutex_;
    std::condition_variable wake_, idle_;
    std::deque<Job> queue_;
    std::vector<Running> running_;
    bool stop_ = false;
    std::thread thread_;
};

// The program and time limit of the rules, as settings.
AlarmCommandSettings AlarmCommandSettingsOf(const AlarmRules& rules);

// The alarms of a train for the history, by these rules.
TrainHistory::AlarmMaker HistoryAlarmMaker(const AlarmRules& rules);

// One line for people: "hot-box axle 12 (car 3, axle 2) left: reading 170 above 120".
std::string AlarmText(const Alarm& alarm, const AlarmRules& rules);

// The line a new alarm gets on stderr and in the main pane:
// "ALARM: 17 hot-box site 00500 (radio 12, NAME) train 4711 (id 93) received
// 2026-03-01 14:03:09: hot-box axle 12 ..." (control bytes left out).
std::string AlarmLine(const AlarmRow& alarm);
