#pragma once
// The radio port as the worker uses it: open by index, write a frame, read
// one byte at a time without waiting, and wait for the next byte (the
// worker's idle pause, which the clock runs). Each collector owns one (the
// real tty port, or an in-memory port in tests and fuzzing).
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/LinkStatus.h"
#include "platform/Clock.h"
#include "platform/PortServices.h"

class CSerialPortInterface : public IInput {
public:
    virtual ~CSerialPortInterface() = default;

    // The data folder, output, link status and clock of the collector that
    // owns the port; set before the first Open.
    virtual void Attach(const PortServices& services) { services_ = services; }
    const PortServices& Services() const { return services_; }

    // True when the port is ready (a port that failed has told why in the
    // scope, and keeps trying where it can). On success portIndex takes the
    // index; after a failure it keeps its earlier value. Only the index's
    // low 8 bits count (an index of -1 is port 255). The link status
    // follows the result.
    bool Open(std::uint8_t index) {
        if (services_.link != nullptr)
            services_.link->NotePort(static_cast<int>(index) + 1, DeviceName(index));
        const std::int32_t result = OpenPort(index);
        if (services_.link != nullptr)
            services_.link->NoteState(result >= 0 ? LinkState::Open : LinkState::NotOpen,
                                      std::time(nullptr));
        if (result < 0) return false;
        portIndex = index;
        return true;
    }
    // The device the index stands for, as the operator knows it ("" when
    // the port has no device of its own).
    virtual std::string DeviceName(std::uint8_t) const { return std::string(); }
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
    // 0, or a negative code.
    virtual std::int32_t OpenPort(std::uint8_t index) = 0;

    PortServices services_;
};

// A device with the same Open, Write, ReadChar and ReadBytes (the tty port
// of the platform layer) as the radio port.
template <class Device>
class DeviceSerialPort final : public CSerialPortInterface, public Device {
public:
    using CSerialPortInterface::Open;
    void Attach(const PortServices& services) override {
        CSerialPortInterface::Attach(services);
        Device::Attach(services);
    }
    void Write(const std::uint8_t* bytes, std::size_t length) override {
        Device::Write(bytes, length);
    }
    std::int32_t ReadChar() override { return Device::ReadChar(); }
    std::size_t ReadBytes(std::uint8_t* out, std::size_t max) override {
        return Device::ReadBytes(out, max);
    }
    bool InputWaiting() override { return Device::InputWaiting(); }
    bool WaitForInput(std::uint32_t milliseconds) override { return Device::WaitForInput(milliseconds); }
    std::string DeviceName(std::uint8_t index) const override { return Device::DeviceName(index); }

protected:
    std::int32_t OpenPort(std::uint8_t index) override { return Device::Open(index); }
};

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
    std::uint8_t lastOpenedIndex = 0;

protected:
    std::int32_t OpenPort(std::uint8_t index) override;

private:
    mutable std::mutex mutex_;
    std::condition_variable fed_;
    std::deque<std::uint8_t> rx_;
    std::vector<std::uint8_t> tx_;
};
