#include "common/Globals.h"

#include <cstring>

#include "common/CallerTable.h"

std::atomic<std::uint8_t> workerStop{0};
std::atomic<std::uint8_t> echoRequested{0};
std::atomic<std::uint8_t> echoSiteId{0};
std::atomic<std::int32_t> echoLength{40};
std::atomic<WindowHandle> echoDialogWindow{0};
std::atomic<WindowHandle> scopeWindow{0};
std::atomic<std::int32_t> childViewKind{0};
std::string exeDirectory;
CallerEntry callerTable[CALLER_TABLE_SIZE] = {};
std::mutex callerTableMutex;

void ResetProcessValues() {
    workerStop = 0;
    echoRequested = 0;
    echoSiteId = 0;
    echoLength = 40;
    echoDialogWindow = 0;
    scopeWindow = 0;
    childViewKind = 0;
    std::lock_guard<std::mutex> lock(callerTableMutex);
    std::memset(callerTable, 0, sizeof callerTable);
}
