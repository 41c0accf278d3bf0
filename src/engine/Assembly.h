#pragma once
// Turns a train data stream into the TrainRecord. Reads never go past
// `available` bytes of the stream: bytes the counts ask for beyond it read
// as 0. Returns false when the stream was shorter than its counts.
#include <cstddef>
#include <cstdint>

#include "engine/TrainRecord.h"

bool AssembleAllInOne(TrainRecord& record, const std::uint8_t* stream, std::size_t available);
bool AssembleFromBlocks(TrainRecord& record, const std::uint8_t* stream, std::size_t available);
