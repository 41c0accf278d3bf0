#pragma once
// The radio port on a real terminal device: a serial adapter, or a
// pseudo-terminal linked as "Ports/COM<n>" in the data folder.
//
// The line is raw, 19200 baud, 8 data bits, no parity, 1 stop bit, no flow
// control, with DTR and RTS raised. The device is held exclusively: a second
// program opening it gets EBUSY.
//
// A port that goes away (adapter pulled, the far end of a pseudo-terminal
// closed) or that did not open at start is reopened at most once a second
// from ReadChar and Write; one "ERROR" line is logged when it is lost and
// one line when it is back. Reads yield "no byte" and writes are dropped
// while it is away.
//
// Open is called before the worker starts, and again by the worker when the
// operator switches ports (it closes the old device first); only the worker
// thread reads and writes. The device knows nothing of the radio: the radio
// layer puts it behind its port interface (DeviceSerialPort).
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/PortServices.h"

// Opens a terminal device for reading and writing and takes its lock, as the
// radio port does before it sets the line up: the descriptor, or -1 with
// *error = errno (ENOTTY for a file that is no terminal, EBUSY when another
// program holds the device).
int OpenTtyExclusive(const std::string& device, int* error);

class TtySerialPort {
public:
    static constexpr std::size_t READ_BUFFER_SIZE = 4096;
    static constexpr std::uint32_t REOPEN_INTERVAL_MS = 1000;
    static constexpr std::uint32_t BAUD_RATE = 19200;

    TtySerialPort() = default;
    ~TtySerialPort();
    TtySerialPort(const TtySerialPort&) = delete;
    TtySerialPort& operator=(const TtySerialPort&) = delete;

    // Writes the whole frame, waiting for the line to take it (bounded by
    // about twice its time on the line plus a second).
    void Write(const std::uint8_t* bytes, std::size_t length);
    // 0..255, or -1 when no byte is waiting or the port is away.
    std::int32_t ReadChar();
    // Up to `max` waiting bytes, without waiting; how many were taken.
    std::size_t ReadBytes(std::uint8_t* out, std::size_t max);
    // A byte is read but not yet taken, or the device has one; never blocks.
    bool InputWaiting();
    // Until a byte is waiting, at most `milliseconds`: poll() on the device;
    // while the port is away, a plain sleep (ReadChar then tries to reopen
    // it). True when a byte is waiting.
    bool WaitForInput(std::uint32_t milliseconds);
    // Opens "Ports/COM<index+1>": 0, or -errno of the step that failed (the
    // port then keeps trying).
    std::int32_t Open(std::uint8_t index);

    // The data folder, output, link status and clock this port works with.
    void Attach(const PortServices& services) { services_ = services; }

    bool IsOpen() const { return fd_ >= 0; }
    // Where "Ports/COM<n>" points (the link's target), else the device path.
    std::string DeviceName(std::uint8_t index) const;
    // The device path of the last open attempt ("" before the first).
    const std::string& DevicePath() const { return device_; }
    // Number of read() calls made (tests check that reads are buffered).
    std::uint64_t ReadCalls() const { return readCalls_; }

private:
    int TryOpen(std::uint8_t index, int* error);
    void Lose(int error);
    void MaybeReopen();
    void CloseDevice();
    std::uint32_t Tick() const;
    void Tell(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void PublishPortEvent(int kind) const;

    PortServices services_;

    int fd_ = -1;
    bool wanted_ = false;        // Open was called: keep the port open
    bool everOpened_ = false;    // decides between "opened" and "is back"
    std::uint8_t index_ = 0;
    std::uint32_t lastAttemptTick_ = 0;
    std::string device_;
    std::uint8_t buffer_[READ_BUFFER_SIZE];
    std::size_t bufferUsed_ = 0;
    std::size_t bufferPos_ = 0;
    std::uint64_t readCalls_ = 0;
};
