#pragma once
// The simulator's line: a pseudo-terminal it creates (the collector opens
// the other end) or a real serial device, with the bytes paced at the line
// speed so that timings are those of a radio line.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "SiteSession.h"

namespace sitesim {

class LineLink final : public ILink {
public:
    // A new pseudo-terminal in raw mode; the collector opens SlavePath().
    static std::unique_ptr<LineLink> OpenPseudoTerminal(std::string* error);
    // A serial device, raw, 8N1, no flow control, at `baud`.
    static std::unique_ptr<LineLink> OpenDevice(const std::string& path, unsigned baud,
                                                std::string* error);
    ~LineLink() override;
    LineLink(const LineLink&) = delete;
    LineLink& operator=(const LineLink&) = delete;

    // 0: write as fast as the far end takes the bytes.
    void SetPacing(unsigned baud) { pacingBaud_ = baud; }
    void SetStop(const std::atomic<bool>* stop) { stop_ = stop; }
    // The device the collector opens (pseudo-terminal) or the device opened.
    const std::string& DevicePath() const { return devicePath_; }
    bool IsPseudoTerminal() const { return pseudo_; }

    void Send(const std::uint8_t* bytes, std::size_t count, std::size_t pauseAfter,
              std::uint32_t pauseMs) override;
    std::size_t Receive(std::uint8_t* buffer, std::size_t capacity,
                        std::uint32_t timeoutMs) override;
    std::uint64_t NowMs() override;
    void Pause(std::uint32_t milliseconds) override;
    bool PeerPresent() override;

private:
    using Clock = std::chrono::steady_clock;
    LineLink(int fd, std::string path, bool pseudo);
    void WriteAll(const std::uint8_t* bytes, std::size_t count);
    void WritePaced(const std::uint8_t* bytes, std::size_t count);
    void WaitLineIdle();
    bool Stopping() const { return stop_ != nullptr && stop_->load(); }

    int fd_;
    std::string devicePath_;
    bool pseudo_;
    unsigned pacingBaud_ = 19200;
    const std::atomic<bool>* stop_ = nullptr;
    Clock::time_point lineFreeAt_ = Clock::now();
    Clock::time_point start_ = Clock::now();
};

}  // namespace sitesim
