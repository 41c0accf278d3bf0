#pragma once
#include <atomic>
#include <cstdint>

struct CollectorContext;

// The worker thread's states in its start record.
enum WorkerThreadState : std::uint8_t {
    WORKER_NOT_STARTED = 0,
    WORKER_RUNNING = 1,  // set before the thread starts
    WORKER_ENDED = 4,    // the loop has ended and the context is freed (set by the worker)
};

// Handed to the worker at its start.
struct StartRecord {
    std::atomic<std::uint8_t> threadState{WORKER_NOT_STARTED};
};

// The thread entry: creates the context, runs the loop until workerStop is
// set, frees the context, sets threadState to WORKER_ENDED. Returns 0.
unsigned CollectorThreadProc(StartRecord* startRecord);

// The worker loop; returns when workerStop is set.
void RunCollectorLoop(CollectorContext& ctx);

// One cycle of the loop. Returns true when it handled a packet addressed to
// the collector (no pause follows), false when it waited for the radio (at
// most 500 ms, less when a byte arrived).
bool RunCollectorCycle(CollectorContext& ctx);

// Asks the worker to move to COM `comNumber` (0 is COM256, as the settings
// file counts) at the start of its next cycle: a transfer in progress ends
// first, and the worker, its context and the windows stay as they are. A
// later request before that cycle replaces an earlier one.
void RequestPortSwitch(int comNumber);

// The All-in-One Data Packet path shared by the loop and the transfer: ACK
// with the packet's sequence byte, assemble from payload byte 17, report.
void HandleAllInOne(CollectorContext& ctx);

// Writes the train report of ctx.trainRecord for the site and publishes
// TrainReported (or ReportFailed).
void ReportTrain(CollectorContext& ctx, std::uint8_t siteId);

// HandlePowerup, then PowerupRegistered for the site.
void RegisterPowerup(CollectorContext& ctx);
