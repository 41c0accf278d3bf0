#pragma once
// Where the core's lines and events go. Every part of the core that has
// something to tell (a log line, a frame for the serial scope, an event)
// is handed an IOutput by its owner, the collector, and tells it there; no
// part of the core reaches for a process-wide scope, log or publisher.
//
// Neither call may wait on a window or a subscriber: the collector's output
// writes the day's scope log, queues the entry for the user interface and
// copies the event into the subscribers' queues, all without blocking the
// radio for longer than a short lock.
#include <cstdint>
#include <string>

#include "common/Colours.h"
#include "common/Events.h"
#include "common/Messages.h"

class IOutput {
public:
    virtual ~IOutput() = default;
    // One scope entry: WM_LOG_TEXT (wParam colour, lParam text),
    // WM_LOG_FIELD_BYTES or WM_LOG_COLLECT_BYTES (wParam count, lParam
    // bytes). The text and bytes belong to the caller: they are copied or
    // formatted before the call returns. A null lParam makes no entry.
    virtual void Scope(std::uint32_t message, WPARAM wParam, LPARAM lParam) = 0;
    // One event; its time is stamped here when it has none.
    virtual void Publish(EngineEvent event) = 0;
};

// An output that forgets everything (tools that format without a collector).
class NullOutput final : public IOutput {
public:
    void Scope(std::uint32_t, WPARAM, LPARAM) override {}
    void Publish(EngineEvent) override {}
};

// A text the operator must see and acknowledge (a message box in the
// console, a line on stderr in the headless collector), published as an
// OperatorMessage event: the core never shows a box itself.
void TellOperator(IOutput& out, const char* text);
