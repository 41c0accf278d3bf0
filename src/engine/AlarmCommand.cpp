#include "engine/AlarmCommand.h"
#include "engine/PointTrends.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

#include "records/TrainReport.h"

extern char** environ;

namespace {

constexpr auto kPoll = std::chrono::milliseconds(20);
constexpr const char kEnvPrefix[] = "KESTOVA_ALARM_";

// A value as the program gets it: control bytes (NUL, line breaks,
// escapes) left out, everything else as it is.
std::string Plain(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) out += c;
    return out;
}

std::string Seconds(std::chrono::milliseconds ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", static_cast<double>(ms.count()) / 1000.0);
    return text;
}

std::string Place(const Alarm& a) {
    if (a.axle == 0) return "";
    std::string place = " axle " + std::to_string(a.axle);
    if (a.car > 0) place += " (car " + std::to_string(a.car) + ", axle " + std::to_string(a.axleInCar) + ")";
    if (a.side != AlarmSide::None) place += std::string(" ") + AlarmSideName(a.side);
    return place;
}

}  // namespace

std::vector<std::string> AlarmCommand::Arguments(const AlarmRow& a) {
    char site[16];
    std::snprintf(site, sizeof site, "%05d", a.siteNumber);
    return {std::to_string(a.id),        Plain(a.kind),
            site,                        std::to_string(a.siteId),
            Plain(a.siteName),           std::to_string(a.trainId),
            std::to_string(a.trainNumber), Plain(a.received),
            std::to_string(a.axle),      std::to_string(a.car),
            std::to_string(a.axleInCar), Plain(a.side),
            std::to_string(a.reading),   std::to_string(a.reference),
            std::to_string(a.threshold), std::to_string(a.code),
            Plain(a.text)};
}

std::vector<std::string> AlarmCommand::Environment(const AlarmRow& a) {
    // Characters, not pointers: nothing here is written at load time.
    static constexpr char kNames[][16] = {"ID",        "KIND",      "SITE",    "RADIO_ID",     "SITE_NAME",
                                          "TRAIN",     "TRAIN_NUMBER", "RECEIVED", "AXLE",     "CAR",
                                          "AXLE_IN_CAR", "SIDE",    "READING", "REFERENCE",    "THRESHOLD",
                                          "CODE",      "TEXT"};
    const std::vector<std::string> values = Arguments(a);
    std::vector<std::string> env;
    for (std::size_t i = 0; i < values.size() && i < std::size(kNames); ++i) env.push_back(std::string(kEnvPrefix) + kNames[i] + "=" + values[i]);
    return env;
}

AlarmCommand::AlarmCommand(AlarmCommandSettings settings, Log log)
    : settings_(std::move(settings)), log_(std::move(log)) {
    if (settings_.maxRunning < 1) settings_.maxRunning = 1;
    thread_ = std::thread([this] { Loop(); });
}

AlarmCommand::~AlarmCommand() {
    std::size_t left = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        left = queue_.size();
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (left > 0 && log_)
        log_("ERROR: Alarm command " + settings_.program + " is not run for " + std::to_string(left) +
                 " alarms: the program stops",
             true);
}

void AlarmCommand::Run(const AlarmRow& alarm) {
    bool full = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.size() >= settings_.maxQueued)
            full = true;
        else
            queue_.push_back(Job{alarm, 1});
    }
    if (full) {
        if (log_)
            log_("ERROR: Alarm command " + settings_.program + " is not run for alarm " + std::to_string(alarm.id) +
                     ": " + std::to_string(settings_.maxQueued) + " alarms wait for it already",
                 true);
        return;
    }
    wake_.notify_all();
}

bool AlarmCommand::WaitIdle(std::chrono::milliseconds most) {
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_for(lock, most, [this] { return queue_.empty() && running_.empty(); });
}

bool AlarmCommand::Spawn(const Job& job, int* pid, std::string* why) {
    std::vector<std::string> args = Arguments(job.alarm);
    args.insert(args.begin(), settings_.program);
    std::vector<std::string> env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e)
        if (std::strncmp(*e, kEnvPrefix, sizeof kEnvPrefix - 1) != 0) env.emplace_back(*e);
    for (std::string& v : Environment(job.alarm)) env.push_back(std::move(v));
    std::vector<char*> argv, envp;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&files);
    posix_spawnattr_init(&attr);
    // Nothing to read; what it prints goes to stderr (stdout may be the scope).
    posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&files, STDERR_FILENO, STDOUT_FILENO);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // The collector's files (the radio port, the day's log) are none of its business.
    posix_spawn_file_actions_addclosefrom_np(&files, 3);
#endif
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD, SIGQUIT}) sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);  // its own group: a time limit stops its children too
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    pid_t child = 0;
    const int rc = posix_spawn(&child, settings_.program.c_str(), &files, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        if (why != nullptr) *why = std::strerror(rc);
        return false;
    }
    *pid = child;
    return true;
}

void AlarmCommand::Failed(const Job& job, const std::string& how, std::vector<std::pair<std::string, bool>>& lines) {
    const std::string head =
        "ERROR: Alarm command " + settings_.program + " for alarm " + std::to_string(job.alarm.id) + " ";
    if (job.attempt == 1 && !stop_) {
        lines.emplace_back(head + "failed (" + how + "); it is run once more", true);
        queue_.push_back(Job{job.alarm, 2});
    } else {
        lines.emplace_back(head + "failed again (" + how + "); given up", true);
    }
}

void AlarmCommand::Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        std::vector<std::pair<std::string, bool>> lines;
        while (!stop_ && !queue_.empty() && static_cast<int>(running_.size()) < settings_.maxRunning) {
            Job job = std::move(queue_.front());
            queue_.pop_front();
            int pid = 0;
            std::string why;
            if (Spawn(job, &pid, &why))
                running_.push_back(Running{std::move(job), pid, std::chrono::steady_clock::now(), {}, false});
            else
                Failed(job, "it could not be started: " + why, lines);
        }
        const auto now = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < running_.size();) {
            Running& r = running_[i];
            int status = 0;
            const pid_t done = ::waitpid(r.pid, &status, WNOHANG);
            if (done == 0) {
                if (!r.terminated && now - r.started >= settings_.timeout) {
                    if (::kill(-r.pid, SIGTERM) != 0) ::kill(r.pid, SIGTERM);
                    r.terminated = true;
                    r.termSent = now;
                } else if (r.terminated && now - r.termSent >= settings_.killAfter) {
                    if (::kill(-r.pid, SIGKILL) != 0) ::kill(r.pid, SIGKILL);
                }
                ++i;
                continue;
            }
            const Job job = r.job;
            const bool cut = r.terminated;
            running_.erase(running_.begin() + static_cast<std::ptrdiff_t>(i));
            if (done < 0) {
                Failed(job, std::string("lost: ") + std::strerror(errno), lines);
            } else if (cut) {
                Failed(job, "stopped after its time limit of " + Seconds(settings_.timeout), lines);
            } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
                lines.emplace_back("Alarm command " + settings_.program + " for alarm " +
                                       std::to_string(job.alarm.id) + ": exit status 0",
                                   false);
            } else if (WIFEXITED(status)) {
                Failed(job, "exit status " + std::to_string(WEXITSTATUS(status)), lines);
            } else {
                Failed(job, std::string("ended by signal ") + std::to_string(WTERMSIG(status)), lines);
            }
        }
        if (!lines.empty() && log_) {
            lock.unlock();
            for (const auto& [line, error] : lines) log_(line, error);
            lock.lock();
        }
        if (stop_) return;
        if (queue_.empty() && running_.empty()) {
            idle_.notify_all();
            wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        } else if (!queue_.empty() && static_cast<int>(running_.size()) < settings_.maxRunning) {
            continue;  // a retry to start
        } else {
            wake_.wait_for(lock, kPoll);
        }
    }
}

AlarmCommandSettings AlarmCommandSettingsOf(const AlarmRules& rules) {
    AlarmCommandSettings s;
    s.program = rules.command;
    s.timeout = std::chrono::seconds(rules.commandTimeout);
    return s;
}

std::string AlarmText(const Alarm& a, const AlarmRules& rules) {
    std::string text = AlarmKindName(a.kind) + Place(a) + ": ";
    const auto reading = [&](int v) { return DisplayReading(v, rules); };
    char code[40];
    switch (a.kind) {
        case AlarmKind::SiteAnnounced:
            std::snprintf(code, sizeof code, "0x%04X", static_cast<unsigned>(a.code));
            text += std::string("the site announced it (") + code + ")";
            if (a.reading >= 0) text += ", reading " + reading(a.reading);
            break;
        case AlarmKind::HotBox:
        case AlarmKind::HotWheel:
            text += "reading " + reading(a.reading) + " above " + reading(a.threshold);
            break;
        case AlarmKind::SideDifference:
            text += "reading " + reading(a.reading) + ", the other side " + reading(a.reference) +
                    ": a difference above " + reading(a.threshold);
            break;
        case AlarmKind::Outlier:
            text += "reading " + reading(a.reading) + ", its side's median " + reading(a.reference) +
                    ": above it by more than " + reading(a.threshold);
            break;
        case AlarmKind::Trend: {
            text += "reading " + reading(a.reading) + ", its side's median " + reading(a.reference) +
                    "; above the median";
            for (std::size_t k = 0; k < a.trend.size(); ++k) {
                char site[16];
                std::snprintf(site, sizeof site, "%05d", a.trend[k].site);
                text += std::string(k == 0 ? " " : ", ") + reading(a.trend[k].relative) + " at site " + site;
            }
            text += ": a rise above " + reading(a.threshold);
            break;
        }
        case AlarmKind::Equipment: {
            const char* message = SystemMessageText(a.code);
            text += "system message " + std::to_string(a.code) + (*message != '\0' ? std::string(" ") + message : "");
            break;
        }
    }
    return text;
}

TrainHistory::AlarmMaker HistoryAlarmMaker(const AlarmRules& rules) {
    return [rules](const ParsedReport& report, const SiteData* site) {
        AlarmInput in;
        in.axles = report.axles;
        in.hotWheels = report.hotWheels;
        in.systemMessages = report.simCodes;
        if (site != nullptr) in.siteAlarms = site->alarms;
        std::vector<AlarmFields> out;
        for (const Alarm& a : TrainAlarms(in, rules)) out.push_back(AlarmFieldsOf(a, rules));
        return out;
    };
}

std::string AlarmLine(const AlarmRow& a) {
    char site[16];
    std::snprintf(site, sizeof site, "%05d", a.siteNumber);
    return Plain("ALARM: " + std::to_string(a.id) + " " + a.kind + " site " + site + " (radio " +
                 std::to_string(a.siteId) + (a.siteName.empty() ? "" : ", " + a.siteName) + ") train " +
                 std::to_string(a.trainNumber) + " (id " + std::to_string(a.trainId) + ") received " + a.received +
                 ": " + a.text);
}
