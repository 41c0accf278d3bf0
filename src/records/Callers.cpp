// Placeholder until the caller registry lands: does nothing, reports nothing.
#include "records/Callers.h"

#include "common/LogLine.h"

void HandlePowerup(CollectorContext&) {}
int LoadCallers() { return -1; }
bool ListCallers(std::string*) {
    ShowMessageBox("There are NO callers in our list");
    return false;
}
