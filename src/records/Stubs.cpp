// Placeholders until the caller registry and report writer land: these do
// nothing and report nothing.
#include "records/Callers.h"
#include "records/TrainReport.h"

void HandlePowerup(CollectorContext&) {}
int WriteTrainReport(const std::uint8_t*, const AxleSlot*) { return -1; }
#include "common/LogLine.h"
int LoadCallers() { return -1; }
bool ListCallers(std::string*) {
    ShowMessageBox("There are NO callers in our list");
    return false;
}
