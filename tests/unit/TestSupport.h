#pragma once
// Shared fixtures for tests that drive the real worker code: an in-memory
// radio port, a fake clock, and a recording window that stands in for the
// serial scope.
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/LogLine.h"
#include "common/Messages.h"
#include "common/ScopeEntry.h"
#include "engine/Alarms.h"
#include "engine/Collector.h"
#include "engine/EventHub.h"
#include "platform/Clock.h"
#include "radio/Frame.h"
#include "radio/Link.h"
#include "radio/SerialPort.h"
#include "TempDataFolder.h"

namespace testsupport {

// One scope entry as the tests look at it: WM_LOG_TEXT with its colour and
// text, or WM_LOG_FIELD_BYTES / WM_LOG_COLLECT_BYTES with the frame's bytes
// (read back from the dump) and their count.
struct RecordedMessage {
    std::uint32_t message;
    std::uintptr_t wParam;
    std::string text;                 // WM_LOG_TEXT / WM_ECHO_TEXT
    std::vector<std::uint8_t> bytes;  // WM_LOG_FIELD_BYTES / WM_LOG_COLLECT_BYTES
};

inline std::vector<std::uint8_t> Hex(const std::string& text);

// A scope view that keeps every entry, and the echo dialog's lines as
// WM_ECHO_TEXT.
class RecordingWindow final : public IScopeView {
public:
    void Show(const ScopeEntry& entry) override {
        RecordedMessage m{WM_LOG_TEXT, entry.colour, {}, {}};
        if (entry.channel == ScopeChannel::Field || entry.channel == ScopeChannel::Collect) {
            m.message = entry.channel == ScopeChannel::Field ? WM_LOG_FIELD_BYTES : WM_LOG_COLLECT_BYTES;
            m.bytes = Hex(entry.body);
            m.wParam = m.bytes.size();
        } else {
            m.text = entry.body;
        }
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back(std::move(m));
    }
    void EchoLine(const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back(RecordedMessage{WM_ECHO_TEXT, 0, text, {}});
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

// Keeps every event of a collector; the operator's messages (the console's
// message boxes) also as texts.
class RecordingEvents final : public IEventSubscriber {
public:
    void OnEngineEvent(const EngineEvent& event) override {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(event);
        if (event.kind == EventKind::OperatorMessage) texts.push_back(event.text);
    }
    std::mutex mutex;
    std::vector<EngineEvent> events;
    std::vector<std::string> texts;
};

// A collector on an in-memory port and a fake clock, in a data folder of
// the test's own, with a recording scope view and a recording subscriber.
// The worker thread is not started: tests drive the worker's functions.
class WorkerHarness {
public:
    // `adjust` may change the setup before the collector is made.
    explicit WorkerHarness(const std::function<void(CollectorSetup&)>& adjust = {}) {
        CollectorSetup setup;
        setup.dataFolder = folder.Folder();
        auto owned = std::make_unique<MemorySerialPort>();
        port = owned.get();
        setup.port = std::move(owned);
        setup.clock = &clock;
        // Reports still held at the end go beside the data folder, not to /tmp.
        setup.heldFolderRoot = (folder / "elsewhere").string();
        if (adjust) adjust(setup);
        collector = std::make_unique<Collector>(std::move(setup));
        window = std::make_shared<RecordingWindow>();
        collector->SetScopeView(window);
        collector->Events().Subscribe(&recorded);
    }
    ~WorkerHarness() {
        collector->Events().Unsubscribe(&recorded);
        collector.reset();
    }
    WorkerHarness(const WorkerHarness&) = delete;
    WorkerHarness& operator=(const WorkerHarness&) = delete;

    Collector& C() { return *collector; }
    RadioLink& Link() { return collector->Link(); }
    TransferState& Transfer() { return collector->Transfer(); }
    // The operator's messages so far (the hub delivers on its own thread).
    std::vector<std::string> Boxes() {
        collector->Events().Flush();
        std::lock_guard<std::mutex> lock(recorded.mutex);
        return recorded.texts;
    }
    std::vector<EngineEvent> Events() {
        collector->Events().Flush();
        std::lock_guard<std::mutex> lock(recorded.mutex);
        return recorded.events;
    }

    TempDataFolder folder;
    FakeClock clock;
    MemorySerialPort* port = nullptr;
    std::unique_ptr<Collector> collector;
    std::shared_ptr<RecordingWindow> window;
    RecordingEvents recorded;
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

// An alarm in one line, for comparing and for failure messages:
// "A6 C2.2 hot-box left 130 >120", "A9 C3.1 outlier right 81-40 >30",
// "A5 C2.1 site left 255 #64", "A0 equipment #27"; a trend ends in its
// steps, site:relative ("A12 C3.4 trend left 143-40 >25 [1:38 2:103]").
inline std::string DescribeAlarm(const Alarm& a) {
    std::string s = "A" + std::to_string(a.axle);
    if (a.car > 0) s += " C" + std::to_string(a.car) + "." + std::to_string(a.axleInCar);
    s += std::string(" ") + AlarmKindName(a.kind);
    if (a.side != AlarmSide::None) s += std::string(" ") + AlarmSideName(a.side);
    if (a.reading >= 0) s += " " + std::to_string(a.reading);
    if (a.reference >= 0) s += "-" + std::to_string(a.reference);
    if (a.threshold >= 0) s += " >" + std::to_string(a.threshold);
    if (a.code != 0 || a.kind == AlarmKind::Equipment) s += " #" + std::to_string(a.code);
    for (std::size_t k = 0; k < a.trend.size(); ++k)
        s += (k == 0 ? " [" : " ") + std::to_string(a.trend[k].site) + ":" + std::to_string(a.trend[k].relative) +
             (k + 1 == a.trend.size() ? "]" : "");
    return s;
}

inline std::vector<std::string> DescribeAlarms(const std::vector<Alarm>& alarms) {
    std::vector<std::string> out;
    for (const Alarm& a : alarms) out.push_back(DescribeAlarm(a));
    return out;
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
