#include "common/LinkStatus.h"

#include <cstdio>
#include <mutex>

namespace {

std::string ClockText(std::time_t when) {
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr) return "--:--:--";
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

}  // namespace

LinkStatus LinkWatch::Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
}

void LinkWatch::NotePort(int comNumber, const std::string& device) {
    std::lock_guard<std::mutex> lock(mutex_);
    LinkStatus& current = current_;
    if (current.comNumber != comNumber || current.device != device) current.lastGoodFrame = 0;
    current.comNumber = comNumber;
    current.device = device;
    if (current.state == LinkState::NoPort) current.state = LinkState::NotOpen;
}

void LinkWatch::NoteState(LinkState state, std::time_t when) {
    std::lock_guard<std::mutex> lock(mutex_);
    LinkStatus& current = current_;
    // A loss keeps its first time while the port keeps failing to come back.
    if (state == LinkState::Lost && current.state == LinkState::Lost) return;
    current.state = state;
    if (state == LinkState::Lost) current.lostSince = when;
}

void LinkWatch::NoteGoodFrame(std::time_t when) {
    std::lock_guard<std::mutex> lock(mutex_);
    current_.lastGoodFrame = when;
}

std::string FormatLinkPort(const LinkStatus& status) {
    if (status.comNumber < 0) return "no radio port";
    std::string text = "COM" + std::to_string(status.comNumber);
    if (!status.device.empty()) text += " \u2192 " + status.device;
    return text;
}

std::string FormatLinkState(const LinkStatus& status) {
    switch (status.state) {
        case LinkState::NoPort:
            return "";
        case LinkState::NotOpen:
            return "not open";
        case LinkState::Open:
            return "open";
        case LinkState::Lost:
            return "lost since " + ClockText(status.lostSince);
    }
    return "";
}

std::string FormatLastFrame(const LinkStatus& status) {
    return status.lastGoodFrame == 0 ? "no frame yet" : "last frame " + ClockText(status.lastGoodFrame);
}

std::string FormatLinkStatus(const LinkStatus& status) {
    std::string text = FormatLinkPort(status);
    const std::string state = FormatLinkState(status);
    if (!state.empty()) text += "  " + state;
    return text + "  " + FormatLastFrame(status);
}
