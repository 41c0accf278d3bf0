// Placeholder until assembly lands.
#include "engine/Assembly.h"

bool AssembleAllInOne(TrainRecord&, const std::uint8_t*, std::size_t) { return true; }
bool AssembleFromBlocks(TrainRecord&, const std::uint8_t*, std::size_t) { return true; }
