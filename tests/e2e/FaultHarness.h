#pragma once
// More building blocks for end-to-end tests that put the real programs under
// stress (faults, floods, long runs), next to PtyHarness.h:
//  - LiveProcess: a child whose stdout and stderr are drained all the time by
//    a thread of its own, so a chatty program never stalls on a full pipe and
//    the test's memory stays bounded however long it runs; optional limit on
//    the size of the files it writes; its resident memory and open files.
//  - SiteLine: the site's side of a pseudo-terminal, writing large amounts
//    while it keeps taking the collector's replies off the line.
//  - Frames, Powerups and train data streams of the site simulator's library,
//    and the report the collector must write for them, built with the
//    collector's own report code.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/TrainRecord.h"
#include "e2e/PtyHarness.h"
#include "engine/Assembly.h"
#include "radio/Frame.h"
#include "records/TrainReport.h"
#include "SiteSession.h"

namespace e2e {

// ---------------------------------------------------------------------------
// Process facts read from /proc.

// Under a sanitizer the programs keep freed memory in quarantine and their
// resident memory grows by design: memory figures are printed but not judged.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMemoryIsJudged = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kMemoryIsJudged = false;
#else
constexpr bool kMemoryIsJudged = true;
#endif
#else
constexpr bool kMemoryIsJudged = true;
#endif

// VmRSS of a process in KiB, or -1.
inline long ResidentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

// Number of open file descriptors of a process, or -1. A temporary file
// being written at that moment (a name with ".tmp" in it) is not counted: it
// is closed again a moment later, and a sample must not depend on the timing.
inline int OpenFileCount(pid_t pid) {
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec);
    if (ec) return -1;
    int count = 0;
    for (const auto& entry : it) {
        const std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
        if (!ec && target.find(".tmp") != std::string::npos) continue;
        ++count;
    }
    return count;
}

// ---------------------------------------------------------------------------
// A child process whose output is drained by a thread.

class LiveProcess {
public:
    struct Options {
        std::vector<std::string> args;
        std::vector<std::string> env;  // "NAME=value", added to or replacing ours
        // Largest file the child may write, in bytes (0: no limit). The child
        // ignores SIGXFSZ, so a write past the limit fails with EFBIG the way
        // a write to a full disk fails with ENOSPC.
        std::uint64_t fileSizeLimit = 0;
        std::size_t keepLines = 20000;  // older stdout lines are forgotten
        // Stdout lines containing these texts are counted over the whole
        // run, forgotten lines included (see Tally).
        std::vector<std::string> tally;
    };

    LiveProcess() = default;
    ~LiveProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            WaitExit(Millis(10000));
        }
        if (in_ >= 0) ::close(in_);
        if (reader_.joinable()) reader_.join();
    }
    LiveProcess(const LiveProcess&) = delete;
    LiveProcess& operator=(const LiveProcess&) = delete;

    bool Start(const std::string& program, const Options& options) {
        ::signal(SIGPIPE, SIG_IGN);
        keepLines_ = options.keepLines;
        tallyTexts_ = options.tally;
        tallyCounts_.assign(tallyTexts_.size(), 0);
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
            ::pipe2(err, O_CLOEXEC) != 0) {
            return false;
        }
        std::vector<std::string> argStrings{program};
        argStrings.insert(argStrings.end(), options.args.begin(), options.args.end());
        std::vector<std::string> envStrings = ChildEnvironment(options.env);
        std::vector<char*> argv = ExecStrings(argStrings);
        std::vector<char*> envp = ExecStrings(envStrings);
        const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
        const bool limited = options.fileSizeLimit != 0;

        pid_ = ::fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            // Only async-signal-safe calls from here to exec.
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
            // The test's own descriptors (pseudo-terminal masters above all)
            // must not live on in the child: a line the test closes has to
            // hang up for the program.
            ::close_range(3, ~0u, 0);
            if (limited) {
                struct sigaction ignore {};
                ignore.sa_handler = SIG_IGN;
                ::sigaction(SIGXFSZ, &ignore, nullptr);
                ::setrlimit(RLIMIT_FSIZE, &limit);
            }
            ::execve(program.c_str(), argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        in_ = in[1];
        const int outFd = out[0], errFd = err[0];
        reader_ = std::thread([this, outFd, errFd] { Drain(outFd, errFd); });
        return true;
    }

    pid_t Pid() const { return pid_; }

    bool WriteStdin(const std::string& text) { return WriteAll(in_, text); }

    // The number of stdout lines seen so far: lines from here on are "new".
    std::size_t Mark() {
        std::lock_guard<std::mutex> lock(mutex_);
        return firstLine_ + lines_.size();
    }

    // The first stdout line numbered `from` or later that satisfies `match`;
    // its number goes to *at. Nullopt when none comes in time.
    std::optional<std::string> WaitForLine(const std::function<bool(const std::string&)>& match,
                                           Millis timeout, std::size_t from = 0,
                                           std::size_t* at = nullptr) {
        const auto deadline = SteadyClock::now() + timeout;
        std::unique_lock<std::mutex> lock(mutex_);
        std::size_t next = from < firstLine_ ? firstLine_ : from;
        for (;;) {
            for (; next < firstLine_ + lines_.size(); ++next) {
                const std::string& line = lines_[next - firstLine_];
                if (match(line)) {
                    if (at != nullptr) *at = next;
                    return line;
                }
            }
            if (drained_) return std::nullopt;
            if (changed_.wait_until(lock, deadline) == std::cv_status::timeout &&
                next == firstLine_ + lines_.size()) {
                return std::nullopt;
            }
        }
    }
    std::optional<std::string> WaitForLineContaining(const std::string& text, Millis timeout,
                                                     std::size_t from = 0) {
        return WaitForLine([&](const std::string& l) { return l.find(text) != std::string::npos; },
                           timeout, from);
    }

    // The stdout lines still held, numbered `from` or later.
    std::vector<std::string> LinesSince(std::size_t from) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> out;
        for (std::size_t i = from < firstLine_ ? firstLine_ : from; i < firstLine_ + lines_.size();
             ++i) {
            out.push_back(lines_[i - firstLine_]);
        }
        return out;
    }
    std::size_t CountLinesContaining(const std::string& text, std::size_t from = 0) {
        std::size_t count = 0;
        for (const std::string& line : LinesSince(from))
            if (line.find(text) != std::string::npos) ++count;
        return count;
    }

    std::string Stderr() {
        std::lock_guard<std::mutex> lock(mutex_);
        return stderr_;
    }

    // How many stdout lines so far contained options.tally[index].
    std::size_t Tally(std::size_t index) {
        std::lock_guard<std::mutex> lock(mutex_);
        return index < tallyCounts_.size() ? tallyCounts_[index] : 0;
    }

    bool Signal(int signal) { return pid_ > 0 && !exited_ && ::kill(pid_, signal) == 0; }

    // Exit status (128 + n after signal n), or nullopt while still running.
    std::optional<int> WaitExit(Millis timeout) { return WaitChild(pid_, &exited_, &status_, timeout); }
    bool Running() { return !WaitExit(Millis(0)).has_value(); }

    long ResidentKiB() const { return e2e::ResidentKiB(pid_); }
    int OpenFiles() const { return OpenFileCount(pid_); }
    // The open files the process keeps: the least of a few readings 20 ms
    // apart, so a file open for a moment (a report being written, a folder
    // being listed) is not taken for a leak, while a leaked one still counts.
    int SteadyOpenFiles() const {
        int least = OpenFileCount(pid_);
        for (int i = 0; i < 5; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const int now = OpenFileCount(pid_);
            if (now >= 0 && (least < 0 || now < least)) least = now;
        }
        return least;
    }
    // SteadyOpenFiles once the train history is open: its thread opens the
    // database and its write-ahead files in its own time after the start,
    // later on a loaded machine (waited for up to 10 s).
    int SettledOpenFiles() const {
        const std::string folder = "/proc/" + std::to_string(pid_) + "/fd";
        for (int i = 0; i < 100; ++i) {
            bool open = false;
            std::error_code ec;
            for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
                std::error_code linkError;
                const std::string target = std::filesystem::read_symlink(it->path(), linkError).string();
                if (!linkError && target.size() >= 4 && target.compare(target.size() - 4, 4, "-shm") == 0) open = true;
            }
            if (open) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return SteadyOpenFiles();
    }

private:
    void Drain(int outFd, int errFd) {
        std::string partial;
        char chunk[65536];
        pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
        while (fds[0].fd >= 0 || fds[1].fd >= 0) {
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            for (int k = 0; k < 2; ++k) {
                if (fds[k].fd < 0 || fds[k].revents == 0) continue;
                const ssize_t n = ::read(fds[k].fd, chunk, sizeof chunk);
                if (n <= 0) {
                    if (n < 0 && errno == EINTR) continue;
                    ::close(fds[k].fd);
                    fds[k].fd = -1;
                    continue;
                }
                std::lock_guard<std::mutex> lock(mutex_);
                if (k == 1) {
                    if (stderr_.size() < (1u << 20)) stderr_.append(chunk, static_cast<std::size_t>(n));
                } else {
                    partial.append(chunk, static_cast<std::size_t>(n));
                    std::size_t start = 0, nl;
                    while ((nl = partial.find('\n', start)) != std::string::npos) {
                        lines_.emplace_back(partial, start, nl - start);
                        for (std::size_t t = 0; t < tallyTexts_.size(); ++t)
                            if (lines_.back().find(tallyTexts_[t]) != std::string::npos) ++tallyCounts_[t];
                        start = nl + 1;
                    }
                    partial.erase(0, start);
                    while (lines_.size() > keepLines_) {
                        lines_.pop_front();
                        ++firstLine_;
                    }
                }
                changed_.notify_all();
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        drained_ = true;
        changed_.notify_all();
    }

    pid_t pid_ = -1;
    int in_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> lines_;
    std::size_t firstLine_ = 0;  // number of the line at lines_.front()
    std::size_t keepLines_ = 20000;
    std::vector<std::string> tallyTexts_;
    std::vector<std::size_t> tallyCounts_;
    std::string stderr_;
    bool drained_ = false;
};

// ---------------------------------------------------------------------------
// Frames.

inline std::vector<std::uint8_t> MakeFrame(std::uint8_t source, std::uint8_t destination,
                                           std::uint8_t sequence, std::uint8_t type,
                                           const std::vector<std::uint8_t>& payload) {
    return sitesim::SiteFrame(source, destination, sequence, type, payload);
}

constexpr std::uint8_t kCollector = 250;

// A one-track Halvor site's Powerup.
inline std::vector<std::uint8_t> PowerupFrame(std::uint8_t site, std::uint16_t milepost,
                                              std::uint16_t siteNumber) {
    sitesim::SiteIdentity identity;
    identity.radioId = site;
    identity.milepost = milepost;
    identity.siteNumber = siteNumber;
    identity.segment[0] = 'E';
    identity.segment[1] = 'W';
    std::copy_n("HLV0001", 7, identity.unitText);
    return MakeFrame(site, kCollector, 0, PT_POWERUP, sitesim::PowerupPayload(identity));
}

// The site's side of the line: takes the collector's replies off it while it
// writes, so neither side ever waits for the other's buffer.
class SiteLine {
public:
    explicit SiteLine(int masterFd) : fd_(masterFd) {}

    // Writes all bytes; false when the line would not take them in time.
    bool Send(const std::vector<std::uint8_t>& bytes, Millis timeout = Millis(20000)) {
        const auto deadline = SteadyClock::now() + timeout;
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) return false;
            if (MillisLeft(deadline) == 0) return false;
            pollfd p{fd_, POLLOUT | POLLIN, 0};
            ::poll(&p, 1, 5);
            Take();
        }
        return true;
    }

    // The next reply (in order of arrival, each taken once) that matches;
    // replies before it that do not match are passed over and stay counted.
    std::optional<std::vector<std::uint8_t>> Await(
        const std::function<bool(const std::vector<std::uint8_t>&)>& match, Millis timeout) {
        const auto deadline = SteadyClock::now() + timeout;
        for (;;) {
            while (next_ < frames_.size()) {
                const auto& f = frames_[next_++];
                if (match(f)) return f;
            }
            if (MillisLeft(deadline) == 0) return std::nullopt;
            pollfd p{fd_, POLLIN, 0};
            ::poll(&p, 1, std::min(MillisLeft(deadline), 20));
            Take();
        }
    }
    std::optional<std::vector<std::uint8_t>> AwaitType(std::uint8_t site, std::uint8_t type,
                                                       Millis timeout) {
        return Await([=](const std::vector<std::uint8_t>& f) { return f[3] == site && f[7] == type; },
                     timeout);
    }
    // Reads for a while and returns the replies that came meanwhile.
    std::vector<std::vector<std::uint8_t>> Collect(Millis during) {
        const std::size_t first = frames_.size();
        const auto deadline = SteadyClock::now() + during;
        while (MillisLeft(deadline) > 0) {
            pollfd p{fd_, POLLIN, 0};
            ::poll(&p, 1, std::min(MillisLeft(deadline), 20));
            Take();
        }
        next_ = frames_.size();
        return {frames_.begin() + static_cast<long>(first), frames_.end()};
    }
    std::size_t CountOfType(std::uint8_t type) const {
        std::size_t n = 0;
        for (const auto& f : frames_)
            if (f[7] == type) ++n;
        return n;
    }
    std::size_t FrameCount() const { return frames_.size(); }
    std::size_t BadBytes() const { return badBytes_; }

private:
    // Moves whatever has arrived into whole frames.
    void Take() {
        std::uint8_t chunk[8192];
        for (;;) {
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n <= 0) break;
            pending_.insert(pending_.end(), chunk, chunk + n);
        }
        std::size_t pos = 0;
        for (;;) {
            while (pos + 1 < pending_.size() && !(pending_[pos] == 0x55 && pending_[pos + 1] == 0xAA)) {
                ++pos;
                ++badBytes_;
            }
            if (pending_.size() < pos + 7) break;
            const std::size_t length = pending_[pos + 5] | (pending_[pos + 6] << 8);
            if (length < 12) {
                ++pos;
                ++badBytes_;
                continue;
            }
            if (pending_.size() < pos + length) break;
            frames_.emplace_back(pending_.begin() + static_cast<long>(pos),
                                 pending_.begin() + static_cast<long>(pos + length));
            pos += length;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(pos));
    }

    int fd_;
    std::vector<std::uint8_t> pending_;
    std::vector<std::vector<std::uint8_t>> frames_;
    std::size_t next_ = 0;
    std::size_t badBytes_ = 0;
};

// ---------------------------------------------------------------------------
// Trains and their reports.

// A current-format train data stream (7-byte axle records, hot wheel values
// on) of the simulator, whose report is named after 2026-03-<day>
// <hour>:<minute> and `number`; the rest is drawn from `number`.
inline std::vector<std::uint8_t> TrainStream(std::uint16_t number, int axles, int day = 9,
                                             int hour = 10, int minute = 30) {
    sitesim::SimRandom rng(number);
    sitesim::TrainDesign design;
    design.axles = axles;
    design.hwd = true;
    design.trainNumber = number;
    design.time = {2026, 3, day, hour, minute, 9};
    return sitesim::GenerateTrain(sitesim::MakeSite(1, 1, sitesim::UnitKind::Halvor, rng), design, rng)
        .stream;
}

// The frame of an All-in-One Data Packet carrying `stream`.
inline std::vector<std::uint8_t> AllInOneFrame(std::uint8_t site, std::uint8_t track,
                                               const std::vector<std::uint8_t>& stream) {
    return MakeFrame(site, kCollector, track, PT_ALL_IN_ONE, sitesim::AllInOnePayload(stream));
}

struct ExpectedReport {
    std::string name;   // file name inside "Z918E"
    std::string bytes;  // as stored
};

// What the collector writes for `stream`, arriving in one packet or in blocks.
inline ExpectedReport ReportFor(const std::vector<std::uint8_t>& stream, bool blocks) {
    auto record = std::make_unique<TrainRecord>();
    if (blocks)
        AssembleFromBlocks(*record, stream.data(), stream.size());
    else
        AssembleAllInOne(*record, stream.data(), stream.size());
    return {TrainReportFileName(record->header), FormatTrainReport(record->header, record->axleSlots)};
}

// True when a stored report ends in its EOC record and the EOC count is the
// number of characters before it (CR LF stored for every LF counts as the LF
// alone), modulo 65536.
inline bool EocCountMatches(const std::string& stored) {
    const std::string tail = "\r\n";
    const std::size_t eoc = stored.rfind("EOC ");
    if (eoc == std::string::npos || stored.size() != eoc + 4 + 10 + 2) return false;
    if (stored.compare(stored.size() - 2, 2, tail) != 0) return false;
    unsigned long value = 0;
    for (std::size_t i = eoc + 4; i < eoc + 14; ++i) {
        if (stored[i] < '0' || stored[i] > '9') return false;
        value = value * 10 + static_cast<unsigned long>(stored[i] - '0');
    }
    unsigned long count = 0;
    for (std::size_t i = 0; i < eoc; ++i)
        if (!(stored[i] == '\r' && i + 1 < eoc && stored[i + 1] == '\n')) ++count;
    return value == count % 65536;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Regular files directly in `folder`, by name.
inline std::vector<std::string> FileNames(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    return names;
}

}  // namespace e2e
