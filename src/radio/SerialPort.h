#pragma once
// The radio port as the worker uses it: open by index, write a frame, read
// one byte at a time without waiting, and wait for the next byte (the
// worker's idle pause, which the clock runs). One instance is installed for
// the process (the real tty port, or an in-memory port in tests and fuzzing).
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Clock.h"

class CSerialPortInterface : public IInput {
public:
    virtual ~CSerialPortInterface() = default;

    // 0 when the port is ready, else a negative code. On success portIndex
    // takes the index; after a failure it keeps its earlier value. Only the
    // index's low 8 bits count (an index of -1 is port 255).
    std::int32_t Open(std::uint8_t index) {
        std::int32_t result = OpenPort(index);
        if (result >= 0) {
            portIndex = index;
            return 0;
        }
        return result;
    }
    // The result is not examined by the senders.
    virtual void Write(const std::uint8_t* bytes, std::size_t length) = 0;
    // 0..255: the next received byte; negative: no byte waiting.
    virtual std::int32_t ReadChar() = 0;
    // Up to `max` waiting bytes into out, without waiting; returns how many.
    // Never takes more than asked, so bytes behind them stay in the port.
    virtual std::size_t ReadBytes(std::uint8_t* out, std::size_t max) {
        std::size_t n = 0;
        while (n < max) {
            const std::int32_t c = ReadChar();
            if (c < 0) break;
            out[n++] = static_cast<std::uint8_t>(c);
        }
        return n;
    }
    // A port that cannot tell when a byte comes: never "waiting", and a
    // wait is a plain sleep (the next ReadChar finds what came meanwhile).
    bool InputWaiting() override { return false; }
    bool WaitForInput(std::uint32_t milliseconds) override;

    std::uint8_t portIndex = 0;

protected:
    virtual std::int32_t OpenPort(std::uint8_t index) = 0;
};

// A device with the same Open, Write, ReadChar and ReadBytes (the tty port
// of the platform layer) as the radio port.
template <class Device>
class DeviceSerialPort final : public CSerialPortInterface, public Device {
public:
    using CSerialPortInterface::Open;
    void Write(const std::uint8_t* bytes, std::size_t length) override {
        Device::Write(bytes, length);
    }
    std::int32_t ReadChar() override { return Device::ReadChar(); }
    std::size_t ReadBytes(std::uint8_t* out, std::size_t max) override {
        return Device::ReadBytes(out, max);
    }
    bool InputWaiting() override { return Device::InputWaiting(); }
    bool WaitForInput(std::uint32_t milliseconds) override { return Device::WaitForInput(milliseconds); }

protected:
    std::int32_t OpenPort(std::uint8_t index) override { return Device::Open(index); }
};

// The port every read and write of the worker goes through.
CSerialPortInterface& RadioPort();
// Installs the port; null installs a port that never has bytes.
void SetRadioPort(std::unique_ptr<CSerialPortInterface> port);

// The worker's idle pause: at most `milliseconds`, ended by the first byte
// that arrives on the radio port.
inline void WaitForRadio(std::uint32_t milliseconds) { Clock().Pause(milliseconds, RadioPort()); }

// An in-memory port: bytes pushed with Feed are read back by ReadChar; what
// the collector writes is kept for inspection. Safe to feed from another
// thread while the worker reads; a feed wakes a waiting reader.
class MemorySerialPort final : public CSerialPortInterface {
public:
    void Write(const std::uint8_t* bytes, std::size_t length) override;
    std::int32_t ReadChar() override;
    std::size_t ReadBytes(std::uint8_t* out, std::size_t max) override;
    bool InputWaiting() override;
    bool WaitForInput(std::uint32_t milliseconds) override;

    void Feed(const std::uint8_t* bytes, std::size_t length);
    void Feed(const std::vector<std::uint8_t>& bytes) { Feed(bytes.data(), bytes.size()); }
    std::size_t Pending() const;
    // Everything written since the last TakeWritten, and forgets it.
    std::vector<std::uint8_t> TakeWritten();
    std::size_t WrittenSize() const;
    // Makes Open fail with this code (0 = succeed).
    void FailOpenWith(std::int32_t code) { openResult_ = code; }
    std::uint8_t lastOpenedIndex = 0;

protected:
    std::int32_t OpenPort(std::uint8_t index) override;

private:
    mutable std::mutex mutex_;
    std::condition_variable fed_;
    std::deque<std::uint8_t> rx_;
    std::vector<std::uint8_t> tx_;
    std::int32_t openResult_ = 0;
};

// The two devices the worker reaches through process-wide values, the radio
// port and the clock, installed together while this object lives: a new
// port of type Port and `clock` (null: the system clock). Afterwards the
// port that never has bytes and the system clock are back. For tests,
// benchmarks and fuzzing.
template <class Port = MemorySerialPort>
class ScopedDevices {
public:
    explicit ScopedDevices(IClock* clock) {
        auto owned = std::make_unique<Port>();
        port = owned.get();
        SetRadioPort(std::move(owned));
        SetClock(clock);
    }
    ~ScopedDevices() {
        SetClock(nullptr);
        SetRadioPort(nullptr);
    }
    ScopedDevices(const ScopedDevices&) = delete;
    ScopedDevices& operator=(const ScopedDevices&) = delete;

    Port* port;
};
