// Placeholder until the report writer lands.
#include "records/TrainReport.h"

int WriteTrainReport(const std::uint8_t*, const AxleSlot*) { return -1; }
