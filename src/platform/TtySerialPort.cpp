#include "platform/TtySerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "common/Events.h"
#include "common/LinkStatus.h"
#include "common/LogLine.h"
#include "common/Output.h"
#include "platform/Clock.h"
#include "platform/Paths.h"

namespace {

std::string ErrorText(int error) {
    std::string text = std::generic_category().message(error);
    if (error == EBUSY) text += " (in use by another program)";
    return text;
}

int ComNumber(std::uint8_t index) { return static_cast<int>(index) + 1; }

// The errors after which the device is gone rather than merely quiet.
bool IsLoss(int error) { return error != EAGAIN && error != EWOULDBLOCK && error != EINTR; }

}  // namespace

TtySerialPort::~TtySerialPort() { CloseDevice(); }

std::uint32_t TtySerialPort::Tick() const {
    if (services_.clock != nullptr) return services_.clock->TickCount();
    return SystemClock().TickCount();
}

void TtySerialPort::Tell(const char* format, ...) const {
    if (services_.out == nullptr) return;
    va_list args;
    va_start(args, format);
    LogLineV(*services_.out, COLOUR_DARK_RED, format, args);
    va_end(args);
}

void TtySerialPort::PublishPortEvent(int kind) const {
    if (services_.out == nullptr) return;
    EngineEvent event;
    event.kind = static_cast<EventKind>(kind);
    event.text = device_;
    services_.out->Publish(std::move(event));
}

std::string TtySerialPort::DeviceName(std::uint8_t index) const {
    const std::string path = PortDevicePath(services_.dataFolder, index);
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::read_symlink(path, ec);
    return ec ? path : target.string();
}

void TtySerialPort::CloseDevice() {
    if (fd_ < 0) return;
    (void)::ioctl(fd_, TIOCNXCL);
    ::close(fd_);  // also drops the lock
    fd_ = -1;
}

int OpenTtyExclusive(const std::string& device, int* error) {
    int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    auto fail = [&](int e) {
        ::close(fd);
        *error = e;
        return -1;
    };
    if (!::isatty(fd)) return fail(ENOTTY);
    // The lock is what keeps a second collector out (TIOCEXCL does not stop
    // a privileged opener); it is taken before the line is touched.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno == EWOULDBLOCK ? EBUSY : errno);
    return fd;
}

int TtySerialPort::TryOpen(std::uint8_t index, int* error) {
    device_ = PortDevicePath(services_.dataFolder, index);
    int fd = OpenTtyExclusive(device_, error);
    if (fd < 0) return -1;
    auto fail = [&](int e) {
        ::close(fd);
        *error = e;
        return -1;
    };
    (void)::ioctl(fd, TIOCEXCL);

    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return fail(errno);
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    // At least one byte per read: with O_NONBLOCK an empty line gives EAGAIN,
    // so a read of 0 bytes means the line was hung up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, B19200);
    ::cfsetospeed(&tio, B19200);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) return fail(errno);

    // Modem lines: a pseudo-terminal has none, so a failure here is harmless.
    int lines = TIOCM_DTR | TIOCM_RTS;
    (void)::ioctl(fd, TIOCMBIS, &lines);
    return fd;
}

std::int32_t TtySerialPort::Open(std::uint8_t index) {
    CloseDevice();
    bufferUsed_ = bufferPos_ = 0;
    index_ = index;
    wanted_ = true;
    lastAttemptTick_ = Tick();
    int error = 0;
    fd_ = TryOpen(index, &error);
    if (fd_ >= 0) {
        everOpened_ = true;
        return 0;
    }
    Tell("ERROR: Serial Port COMM %d (%s) could not be opened: %s\n",
            ComNumber(index), device_.c_str(), ErrorText(error).c_str());
    return -error;
}

void TtySerialPort::Lose(int error) {
    CloseDevice();
    if (services_.link != nullptr) services_.link->NoteState(LinkState::Lost, std::time(nullptr));
    lastAttemptTick_ = Tick();
    Tell("ERROR: Serial Port COMM %d (%s) lost: %s\n", ComNumber(index_),
            device_.c_str(), ErrorText(error).c_str());
    PublishPortEvent(static_cast<int>(EventKind::PortLost));
}

void TtySerialPort::MaybeReopen() {
    if (!wanted_ || fd_ >= 0) return;
    const std::uint32_t now = Tick();
    if (static_cast<std::uint32_t>(now - lastAttemptTick_) < REOPEN_INTERVAL_MS) return;
    lastAttemptTick_ = now;
    int error = 0;
    fd_ = TryOpen(index_, &error);
    if (fd_ < 0) return;  // already reported when it was lost
    if (services_.link != nullptr) {
        services_.link->NotePort(ComNumber(index_), DeviceName(index_));  // the link may point elsewhere now
        services_.link->NoteState(LinkState::Open, std::time(nullptr));
    }
    Tell(everOpened_ ? "Serial Port COMM %d (%s) is back\n"
                                         : "Serial Port COMM %d (%s) opened\n",
            ComNumber(index_), device_.c_str());
    if (everOpened_) PublishPortEvent(static_cast<int>(EventKind::PortBack));
    everOpened_ = true;
}

std::int32_t TtySerialPort::ReadChar() {
    if (bufferPos_ < bufferUsed_) return buffer_[bufferPos_++];
    if (fd_ < 0) {
        MaybeReopen();
        if (fd_ < 0) return -1;
    }
    ++readCalls_;
    ssize_t n = ::read(fd_, buffer_, sizeof buffer_);
    if (n > 0) {
        bufferUsed_ = static_cast<std::size_t>(n);
        bufferPos_ = 1;
        return buffer_[0];
    }
    if (n == 0) {
        Lose(EIO);  // hung up
    } else if (IsLoss(errno)) {
        Lose(errno);
    }
    return -1;
}

std::size_t TtySerialPort::ReadBytes(std::uint8_t* out, std::size_t max) {
    std::size_t n = 0;
    while (n < max) {
        if (bufferPos_ < bufferUsed_) {
            const std::size_t k =
                max - n < bufferUsed_ - bufferPos_ ? max - n : bufferUsed_ - bufferPos_;
            std::memcpy(out + n, buffer_ + bufferPos_, k);
            bufferPos_ += k;
            n += k;
            continue;
        }
        const std::int32_t c = ReadChar();  // one read() refills the buffer
        if (c < 0) break;
        out[n++] = static_cast<std::uint8_t>(c);
    }
    return n;
}

bool TtySerialPort::InputWaiting() {
    if (bufferPos_ < bufferUsed_) return true;
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

bool TtySerialPort::WaitForInput(std::uint32_t milliseconds) {
    if (bufferPos_ < bufferUsed_) return true;
    if (fd_ < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd p{fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (r < 0 && errno == EINTR && left > 0) continue;
        if (r <= 0) return false;
        if ((p.revents & POLLIN) != 0) return true;
        // A hang-up or error without data: the next ReadChar finds out what
        // it is. The rest of the pause is slept, so a line that stays in
        // that state does not wake the worker at once, pass after pass.
        if (left > 0) std::this_thread::sleep_for(std::chrono::milliseconds(left));
        return true;
    }
}

void TtySerialPort::Write(const std::uint8_t* bytes, std::size_t length) {
    if (fd_ < 0) MaybeReopen();
    if (fd_ < 0 || length == 0) return;  // the loss has been reported already

    // Twice the frame's time on the line, plus a second for a slow start.
    const auto lineMs = static_cast<long long>(length) * 10 * 1000 / BAUD_RATE;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(1000 + 2 * lineMs);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::write(fd_, bytes + done, length - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && IsLoss(errno)) {
            Lose(errno);
            return;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            Tell("ERROR: Serial Port COMM %d (%s) write timed out: %zu of %zu bytes sent\n",
                    ComNumber(index_), device_.c_str(), done, length);
            return;
        }
        pollfd p{fd_, POLLOUT, 0};
        int r = ::poll(&p, 1, static_cast<int>(left));
        if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 &&
            (p.revents & POLLOUT) == 0) {
            Lose(EIO);
            return;
        }
    }
}
