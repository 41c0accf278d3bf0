#pragma once
// Shared fixtures for tests that drive the real worker code: an in-memory
// radio port, a fake clock, and a recording window that stands in for the
// serial scope.
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/Globals.h"
#include "common/LogLine.h"
#include "common/Messages.h"
#include "platform/Clock.h"
#include "radio/CollectorContext.h"
#include "radio/Frame.h"
#include "radio/SerialPort.h"
#include "TempExeDirectory.h"

namespace testsupport {

struct RecordedMessage {
    std::uint32_t message;
    std::uintptr_t wParam;
    std::string text;                 // WM_LOG_TEXT / WM_ECHO_TEXT
    std::vector<std::uint8_t> bytes;  // WM_LOG_FIELD_BYTES / WM_LOG_COLLECT_BYTES
};

class RecordingWindow final : public IWindowTarget {
public:
    std::intptr_t HandleMessage(std::uint32_t message, WPARAM wParam, LPARAM lParam) override {
        std::lock_guard<std::mutex> lock(mutex);
        RecordedMessage m{message, wParam, {}, {}};
        if (lParam != 0) {
            if (message == WM_LOG_FIELD_BYTES || message == WM_LOG_COLLECT_BYTES) {
                const auto* p = reinterpret_cast<const std::uint8_t*>(lParam);
                m.bytes.assign(p, p + wParam);
            } else {
                m.text = reinterpret_cast<const char*>(lParam);
            }
        }
        messages.push_back(std::move(m));
        return 0;
    }
    // The texts of WM_LOG_TEXT messages, in order.
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> out;
        for (auto& m : messages)
            if (m.message == WM_LOG_TEXT) out.push_back(m.text);
        return out;
    }
    std::vector<RecordedMessage> Messages() {
        std::lock_guard<std::mutex> lock(mutex);
        return messages;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex);
        messages.clear();
    }
    std::mutex mutex;
    std::vector<RecordedMessage> messages;
};

class RecordingMessageBoxes final : public IMessageBoxHandler {
public:
    void Show(const char* text) override {
        std::lock_guard<std::mutex> lock(mutex);
        texts.emplace_back(text);
    }
    std::mutex mutex;
    std::vector<std::string> texts;
};

// Installs a fresh in-memory port, a fake clock, a recording scope window
// and recording message boxes; restores everything on destruction.
class WorkerHarness {
public:
    WorkerHarness() {
        ResetProcessValues();
        // Whatever the worker writes (reports, Callers.bin) goes to a folder
        // of the test's own, never to the folder the suite runs in.
        if (exeDirectory.empty()) ownFolder.emplace();
        window = std::make_shared<RecordingWindow>();
        handle = RegisterWindow(window);
        scopeWindow = handle;
        SetMessageBoxHandler(&boxes);
        ctx = std::make_unique<CollectorContext>();
        ctx->rx.lastByteTick = clock.TickCount();
    }
    ~WorkerHarness() {
        scopeWindow = 0;
        UnregisterWindow(handle);
        SetMessageBoxHandler(nullptr);
        ResetProcessValues();
    }
    WorkerHarness(const WorkerHarness&) = delete;
    WorkerHarness& operator=(const WorkerHarness&) = delete;

    std::optional<TempExeDirectory> ownFolder;
    FakeClock clock;
    ScopedDevices<> devices{&clock};
    MemorySerialPort* port = devices.port;
    std::shared_ptr<RecordingWindow> window;
    WindowHandle handle;
    RecordingMessageBoxes boxes;
    std::unique_ptr<CollectorContext> ctx;
};

// A frame from a site, as bytes.
inline std::vector<std::uint8_t> MakeFrame(std::uint8_t source, std::uint8_t destination,
                                           std::uint8_t sequence, std::uint8_t type,
                                           const std::vector<std::uint8_t>& payload) {
    return BuildFrame(source, destination, sequence, type, payload);
}

// The calendar time of a local date and time (as the collector's clock reads it).
inline std::time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

inline std::vector<std::uint8_t> Hex(const std::string& text) {
    std::vector<std::uint8_t> out;
    unsigned value = 0;
    int digits = 0;
    for (char c : text) {
        int v = -1;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        if (v < 0) continue;
        value = value * 16 + static_cast<unsigned>(v);
        if (++digits == 2) {
            out.push_back(static_cast<std::uint8_t>(value));
            value = 0;
            digits = 0;
        }
    }
    return out;
}

}  // namespace testsupport
