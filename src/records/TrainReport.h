#pragma once
// The train report file "Z918E/<date>_<time>.GEM.HBD.<number>.txt".
#include "engine/TrainRecord.h"

// 0 when written, -1 when the file could not be created or written.
int WriteTrainReport(const std::uint8_t* header, const AxleSlot* axleSlots);
