// Placeholder until the train data transfer lands.
#include "engine/Transfer.h"

void RunTrainTransfer(CollectorContext&) {}
void StoreDataBlock(CollectorContext&) {}
