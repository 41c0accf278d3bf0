#pragma once
// A multi-packet train data transfer, from the grant to the final ACK (or
// the hold-off when it gives up).
struct CollectorContext;

constexpr int TRANSFER_IDLE_LIMIT = 360;  // idle passes of 500 ms

void RunTrainTransfer(CollectorContext& ctx);
void StoreDataBlock(CollectorContext& ctx);
