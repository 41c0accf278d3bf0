#include "LineLink.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace sitesim {

namespace {

speed_t SpeedCode(unsigned baud) {
    switch (baud) {
        case 1200: return B1200;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        default: return B0;
    }
}

bool MakeRaw(int fd, speed_t speed) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (speed != B0) {
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
    }
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

}  // namespace

LineLink::LineLink(int fd, std::string path, bool pseudo)
    : fd_(fd), devicePath_(std::move(path)), pseudo_(pseudo) {}

LineLink::~LineLink() {
    if (fd_ >= 0) close(fd_);
}

std::unique_ptr<LineLink> LineLink::OpenPseudoTerminal(std::string* error) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        if (master >= 0) close(master);
        return nullptr;
    }
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0) {
        *error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
        close(master);
        return nullptr;
    }
    // Raw mode is set on the collector's end once, before anyone reads: the
    // setting stays with the terminal after this descriptor is closed. With
    // echo on, the frames would come straight back. The end is not kept
    // open here, so the master side sees whether the collector has it open.
    const int slave = open(name, O_RDWR | O_NOCTTY);
    if (slave < 0 || !MakeRaw(slave, B19200)) {
        *error = std::string("cannot set up ") + name + ": " + std::strerror(errno);
        if (slave >= 0) close(slave);
        close(master);
        return nullptr;
    }
    close(slave);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    return std::unique_ptr<LineLink>(new LineLink(master, name, true));
}

std::unique_ptr<LineLink> LineLink::OpenDevice(const std::string& path, unsigned baud,
                                               std::string* error) {
    const speed_t speed = SpeedCode(baud);
    if (speed == B0) {
        *error = "unsupported line speed " + std::to_string(baud);
        return nullptr;
    }
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (!MakeRaw(fd, speed)) {
        *error = "cannot set " + path + " to raw " + std::to_string(baud) + " 8N1: " +
                 std::strerror(errno);
        close(fd);
        return nullptr;
    }
    tcflush(fd, TCIOFLUSH);
    return std::unique_ptr<LineLink>(new LineLink(fd, path, false));
}

std::uint64_t LineLink::NowMs() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count());
}

void LineLink::Pause(std::uint32_t milliseconds) {
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(milliseconds);
    while (!Stopping()) {
        const Clock::time_point now = Clock::now();
        if (now >= until) return;
        std::this_thread::sleep_for(std::min<Clock::duration>(until - now, std::chrono::milliseconds(50)));
    }
}

bool LineLink::PeerPresent() {
    if (!pseudo_) return true;
    pollfd p{fd_, POLLOUT, 0};
    if (poll(&p, 1, 0) < 0) return true;
    return (p.revents & POLLHUP) == 0;
}

void LineLink::WriteAll(const std::uint8_t* bytes, std::size_t count) {
    // The far end may take its time; give up only when stopped or after a
    // long silence (the frame is then lost, as on a radio).
    Clock::time_point lastProgress = Clock::now();
    while (count > 0 && !Stopping()) {
        const ssize_t n = write(fd_, bytes, count);
        if (n > 0) {
            bytes += n;
            count -= static_cast<std::size_t>(n);
            lastProgress = Clock::now();
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EWOULDBLOCK) return;
        if (Clock::now() - lastProgress > std::chrono::seconds(10)) return;
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, 50);
    }
}

void LineLink::WaitLineIdle() {
    const Clock::time_point now = Clock::now();
    if (lineFreeAt_ > now) std::this_thread::sleep_until(lineFreeAt_);
}

void LineLink::WritePaced(const std::uint8_t* bytes, std::size_t count) {
    if (pacingBaud_ == 0) {
        WriteAll(bytes, count);
        return;
    }
    // 10 bits on the line per byte (start, 8 data, stop).
    const double microsPerByte = 10.0e6 / pacingBaud_;
    constexpr std::size_t CHUNK = 16;
    bool first = true;
    while (count > 0 && !Stopping()) {
        WaitLineIdle();
        const std::size_t n = std::min(count, CHUNK);
        WriteAll(bytes, n);
        // The bytes of one write follow each other on the line without a
        // gap: only the first starts when the line is free, the rest keep
        // the line's pace however late this thread woke for them.
        const Clock::time_point now = Clock::now();
        if (first && lineFreeAt_ < now) lineFreeAt_ = now;
        first = false;
        lineFreeAt_ += std::chrono::microseconds(static_cast<long long>(microsPerByte * n));
        bytes += n;
        count -= n;
    }
}

void LineLink::Send(const std::uint8_t* bytes, std::size_t count, std::size_t pauseAfter,
                    std::uint32_t pauseMs) {
    if (pauseAfter < count) {
        WritePaced(bytes, pauseAfter);
        WaitLineIdle();
        Pause(pauseMs);
        WritePaced(bytes + pauseAfter, count - pauseAfter);
    } else {
        WritePaced(bytes, count);
    }
    // Replies are awaited from the moment the last byte has left.
    if (pacingBaud_ != 0) WaitLineIdle();
}

std::size_t LineLink::Receive(std::uint8_t* buffer, std::size_t capacity,
                              std::uint32_t timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(timeoutMs));
    if (r <= 0) return 0;
    if ((p.revents & POLLIN) == 0) {
        // A pseudo-terminal nobody has open reports a hang-up at once:
        // wait out the time instead of spinning.
        if (timeoutMs > 0) Pause(timeoutMs);
        return 0;
    }
    const ssize_t n = read(fd_, buffer, capacity);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

}  // namespace sitesim
