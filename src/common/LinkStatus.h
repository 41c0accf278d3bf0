#pragma once
// The state of the radio link as the operator sees it: which COM port on
// which device, whether it is open, since when it is lost, and when the
// last good frame came in. Written by the port and the receiver on the
// worker's thread (and by start-up), read by the console's status pane and
// the headless collector's "status" command. Safe from any thread.
#include <ctime>
#include <mutex>
#include <string>

enum class LinkState { NoPort, NotOpen, Open, Lost };

struct LinkStatus {
    int comNumber = -1;        // -1: no port chosen
    std::string device;        // "" until the port has been looked up
    LinkState state = LinkState::NoPort;
    std::time_t lostSince = 0;      // when state became Lost
    std::time_t lastGoodFrame = 0;  // 0: none yet
};

// One radio's link status, owned by its collector; any thread.
class LinkWatch {
public:
    LinkStatus Get() const;
    // An open attempt on COM `comNumber`, `device` the path it resolved to.
    void NotePort(int comNumber, const std::string& device);
    void NoteState(LinkState state, std::time_t when);
    void NoteGoodFrame(std::time_t when);

private:
    mutable std::mutex mutex_;
    LinkStatus current_;
};

// "COM9 → /dev/ttyUSB0", or "no radio port".
std::string FormatLinkPort(const LinkStatus& status);
// "open", "not open", "lost since 14:02:11" (local time), or "".
std::string FormatLinkState(const LinkStatus& status);
// "last frame 14:03:09", or "no frame yet".
std::string FormatLastFrame(const LinkStatus& status);
// The three above joined by two blanks: one line for the operator.
std::string FormatLinkStatus(const LinkStatus& status);
