#pragma once
// Building blocks for end-to-end tests that run the real programs: a
// throw-away data folder, a pseudo-terminal pair whose slave is linked as
// "Ports/COM<n>" (the test plays the radio on the master), and a child
// process with pipes on stdin, stdout and stderr. Every wait is bounded.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

using Millis = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

inline int MillisLeft(SteadyClock::time_point deadline) {
    auto left = std::chrono::duration_cast<Millis>(deadline - SteadyClock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The environment for a child: ours, with each "NAME=value" of extraEnv
// added or replacing our NAME.
inline std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extraEnv) {
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const std::string& extra : extraEnv)
            if (entry.substr(0, entry.find('=') + 1) == extra.substr(0, extra.find('=') + 1))
                replaced = true;
        if (!replaced) envStrings.push_back(entry);
    }
    envStrings.insert(envStrings.end(), extraEnv.begin(), extraEnv.end());
    return envStrings;
}

// The null-terminated pointer list execve wants; `strings` must outlive it.
inline std::vector<char*> ExecStrings(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Writes all of text to fd; false when a write fails.
inline bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Waits for child pid to end and records that in *exited and *status (the
// exit status, 128 + n after signal n); nullopt if it still runs when the
// time is up.
inline std::optional<int> WaitChild(pid_t pid, bool* exited, int* status, Millis timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    for (;;) {
        if (*exited) return *status;
        int raw = 0;
        if (::waitpid(pid, &raw, WNOHANG) == pid) {
            *exited = true;
            *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            return *status;
        }
        if (MillisLeft(deadline) == 0) return std::nullopt;
        std::this_thread::sleep_for(Millis(2));
    }
}

// A fresh folder under /tmp, removed with everything in it at the end.
class DataFolder {
public:
    // A new folder in /tmp, or in `base` (a bench that must write to a disk).
    explicit DataFolder(const std::string& base = "/tmp") {
        std::string tmpl = base + "/kestova-e2e-XXXXXX";
        if (::mkdtemp(tmpl.data()) != nullptr) path_ = std::filesystem::absolute(tmpl).string();
    }
    ~DataFolder() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    DataFolder(const DataFolder&) = delete;
    DataFolder& operator=(const DataFolder&) = delete;

    // The folder, without a trailing "/".
    const std::string& Path() const { return path_; }
    std::string File(const std::string& relative) const { return path_ + "/" + relative; }

    // Points "Ports/COM<com>" at device, replacing an earlier link at once.
    void LinkPort(int com, const std::string& device) const {
        std::filesystem::create_directories(File("Ports"));
        const std::string link = File("Ports/COM" + std::to_string(com));
        const std::string temp = link + ".new";
        std::error_code ec;
        std::filesystem::remove(temp, ec);
        std::filesystem::create_symlink(device, temp);
        std::filesystem::rename(temp, link);
    }
    // "K7_Dialups.ini" with the radio port.
    void WriteSettings(int com) const {
        WriteText("K7_Dialups.ini", "[Radio Serial Port]\nRadio_Port=" + std::to_string(com) + "\n");
    }
    void WriteText(const std::string& relative, const std::string& text) const {
        std::ofstream(File(relative), std::ios::binary) << text;
    }
    std::string ReadText(const std::string& relative) const {
        std::ifstream in(File(relative), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::string path_;
};

// A pseudo-terminal pair. The slave is kept open (raw) so the pair stays
// usable before and between the program's opens; Close() ends both sides,
// which the program sees as its device going away.
class Pty {
public:
    Pty() {
        char name[128] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
        slaveName_ = name;
        // Not inherited by programs the test starts: a child holding the
        // master would keep the line alive after Close().
        ::fcntl(master_, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
        termios tio{};
        if (::tcgetattr(slave_, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(slave_, TCSANOW, &tio);
        }
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~Pty() { Close(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool Ok() const { return master_ >= 0; }
    const std::string& SlaveName() const { return slaveName_; }
    int MasterFd() const { return master_; }

    void Close() {
        if (master_ >= 0) ::close(master_);
        if (slave_ >= 0) ::close(slave_);
        master_ = slave_ = -1;
    }

    // Writes all bytes to the master (the site's side of the line).
    bool Send(const std::vector<std::uint8_t>& bytes, Millis timeout = Millis(2000)) {
        const auto deadline = SteadyClock::now() + timeout;
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
            pollfd p{master_, POLLOUT, 0};
            if (::poll(&p, 1, MillisLeft(deadline)) <= 0) return false;
        }
        return true;
    }

    // Reads what the program wrote until `count` bytes are held or the time
    // is up; returns what arrived (and keeps nothing back).
    std::vector<std::uint8_t> Receive(std::size_t count, Millis timeout) {
        const auto deadline = SteadyClock::now() + timeout;
        while (pending_.size() < count && Fill(deadline)) {
        }
        std::vector<std::uint8_t> out;
        out.swap(pending_);
        return out;
    }

    // The next whole frame the program wrote (55 AA ... with the length of
    // its length field), skipping anything before its start; nullopt when
    // none arrives in time.
    std::optional<std::vector<std::uint8_t>> ReceiveFrame(Millis timeout) {
        const auto deadline = SteadyClock::now() + timeout;
        for (;;) {
            std::size_t start = 0;
            while (start + 1 < pending_.size() &&
                   !(pending_[start] == 0x55 && pending_[start + 1] == 0xAA)) {
                ++start;
            }
            if (start > 0) pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(start));
            if (pending_.size() >= 7) {
                const std::size_t length = pending_[5] | (pending_[6] << 8);
                if (length < 7) {
                    pending_.erase(pending_.begin());  // not a frame start after all
                    continue;
                }
                if (pending_.size() >= length) {
                    std::vector<std::uint8_t> frame(pending_.begin(), pending_.begin() + static_cast<long>(length));
                    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(length));
                    return frame;
                }
            }
            if (!Fill(deadline)) return std::nullopt;
        }
    }

private:
    bool Fill(SteadyClock::time_point deadline) {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, MillisLeft(deadline)) <= 0) return false;
        std::uint8_t chunk[4096];
        ssize_t n = ::read(master_, chunk, sizeof chunk);
        if (n > 0) {
            pending_.insert(pending_.end(), chunk, chunk + n);
            return true;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return MillisLeft(deadline) > 0;
        // EIO: no slave is open at the moment; wait a little and look again.
        std::this_thread::sleep_for(Millis(5));
        return MillisLeft(deadline) > 0;
    }

    int master_ = -1;
    int slave_ = -1;
    std::string slaveName_;
    std::vector<std::uint8_t> pending_;
};

// A child process with its standard streams on pipes.
class Process {
public:
    Process() = default;
    ~Process() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        for (int fd : {in_, out_, err_})
            if (fd >= 0) ::close(fd);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Starts program with the given extra environment ("NAME=value").
    bool Start(const std::string& program, const std::vector<std::string>& args = {},
               const std::vector<std::string>& extraEnv = {}) {
        // A child that has gone must not take the test down with SIGPIPE.
        ::signal(SIGPIPE, SIG_IGN);
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
            ::pipe2(err, O_CLOEXEC) != 0) {
            return false;
        }
        // Everything exec needs is built before the fork.
        std::vector<std::string> argStrings{program};
        argStrings.insert(argStrings.end(), args.begin(), args.end());
        std::vector<std::string> envStrings = ChildEnvironment(extraEnv);
        std::vector<char*> argv = ExecStrings(argStrings);
        std::vector<char*> envp = ExecStrings(envStrings);

        pid_ = ::fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
            ::execve(program.c_str(), argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        in_ = in[1];
        out_ = out[0];
        err_ = err[0];
        ::fcntl(out_, F_SETFL, ::fcntl(out_, F_GETFL) | O_NONBLOCK);
        ::fcntl(err_, F_SETFL, ::fcntl(err_, F_GETFL) | O_NONBLOCK);
        return true;
    }

    pid_t Pid() const { return pid_; }

    bool WriteStdin(const std::string& text) { return WriteAll(in_, text); }
    void CloseStdin() {
        if (in_ >= 0) ::close(in_);
        in_ = -1;
    }

    // The next stdout line without its "\n" (a "\r" before it is kept), or
    // nullopt when no whole line arrives in time.
    std::optional<std::string> ReadLine(Millis timeout) {
        const auto deadline = SteadyClock::now() + timeout;
        for (;;) {
            const std::size_t nl = outBuffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = outBuffer_.substr(0, nl);
                outBuffer_.erase(0, nl + 1);
                lines_.push_back(line);
                return line;
            }
            if (!Pump(out_, &outBuffer_, deadline)) return std::nullopt;
        }
    }
    // Reads lines until one satisfies `match`; that line, or nullopt.
    std::optional<std::string> WaitForLine(const std::function<bool(const std::string&)>& match,
                                           Millis timeout) {
        const auto deadline = SteadyClock::now() + timeout;
        while (auto line = ReadLine(Millis(MillisLeft(deadline)))) {
            if (match(*line)) return line;
        }
        return std::nullopt;
    }
    std::optional<std::string> WaitForLineContaining(const std::string& text, Millis timeout) {
        return WaitForLine([&](const std::string& l) { return l.find(text) != std::string::npos; },
                           timeout);
    }
    // Every stdout line read so far.
    const std::vector<std::string>& Lines() const { return lines_; }

    // Everything on stderr so far.
    std::string Stderr() {
        Pump(err_, &errBuffer_, SteadyClock::now());
        while (Pump(err_, &errBuffer_, SteadyClock::now())) {
        }
        return errBuffer_;
    }

    bool Signal(int signal) { return pid_ > 0 && !exited_ && ::kill(pid_, signal) == 0; }

    // Whether the process has a file of this path open (by /proc).
    bool HasOpen(const std::string& path) const {
        std::error_code ec;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec))
            if (std::filesystem::read_symlink(fd.path(), ec) == path) return true;
        return false;
    }

    // The exit status (128 + n after signal n), or nullopt if the process
    // is still running when the time is up.
    std::optional<int> WaitExit(Millis timeout) { return WaitChild(pid_, &exited_, &status_, timeout); }

private:
    // Reads what is there, waiting until the deadline for the first byte.
    static bool Pump(int fd, std::string* buffer, SteadyClock::time_point deadline) {
        if (fd < 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, MillisLeft(deadline)) <= 0) return false;
        char chunk[4096];
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            buffer->append(chunk, static_cast<std::size_t>(n));
            return true;
        }
        return false;  // end of stream
    }

    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::string outBuffer_, errBuffer_;
    std::vector<std::string> lines_;
};

}  // namespace e2e
