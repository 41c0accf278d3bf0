#pragma once
// Process-wide values shared between the user-interface side and the worker.
// Everything that crosses threads is atomic; exeDirectory is written once,
// before the worker starts, and only read afterwards.
#include <atomic>
#include <cstdint>
#include <string>

#include "common/Messages.h"

constexpr std::uint8_t COLLECTOR_ID = 250;

extern std::atomic<std::uint8_t> workerStop;        // set to end the worker loop
extern std::atomic<std::uint8_t> echoRequested;     // set by the echo dialog, cleared by the worker
extern std::atomic<std::uint8_t> echoSiteId;        // echo target
extern std::atomic<std::int32_t> echoLength;        // echo size, 40 at start
extern std::atomic<WindowHandle> echoDialogWindow;  // open echo dialog, or 0
extern std::atomic<WindowHandle> scopeWindow;       // serial scope view, or 0
extern std::atomic<std::int32_t> childViewKind;     // 0 = main view, 1 = serial scope (console)

// The folder of the program's files, always ending in '/'.
extern std::string exeDirectory;

// Restores every value above, and the caller table, to its start value (tests).
void ResetProcessValues();
