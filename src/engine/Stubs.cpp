// Placeholders until assembly and the transfer land.
#include "engine/Assembly.h"
#include "engine/Transfer.h"

bool AssembleAllInOne(TrainRecord&, const std::uint8_t*, std::size_t) { return true; }
bool AssembleFromBlocks(TrainRecord&, const std::uint8_t*, std::size_t) { return true; }
void RunTrainTransfer(CollectorContext&) {}
void StoreDataBlock(CollectorContext&) {}
