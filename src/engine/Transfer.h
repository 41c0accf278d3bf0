#pragma once
// A multi-packet train data transfer, from the grant to the final ACK (or
// the hold-off when it gives up).
//
// While it runs the transfer is the only reader of the radio. The site being
// served sends numbered blocks (Data Packets, then a Last Data Packet); each
// block n lands in blockBuffer at (n - 1) x requestedBlockSize. After every
// Last Data Packet the blocks 1..requestedBlockCount are checked: a gap is
// answered with "Substitude" listing every missing block, no gap with the
// train's entry in the journal, the ACK (track 0), the assembly and the
// train report. Other sites are turned
// away (request: type 5; data, last data, status: hold-off 30), but their
// Powerups and All-in-One trains are still taken in.
//
// The served site ends the transfer at once with a Powerup (it restarted)
// or an All-in-One train; both are then taken in as usual. A new Request to
// Transmit from it once blocks have arrived starts over: the blocks are
// dropped and the new request is granted as a transfer of its own.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/TrainRecord.h"

class Collector;

constexpr std::size_t BLOCK_BUFFER_SIZE = 9216;
constexpr std::size_t BLOCK_MAP_SIZE = 21;
constexpr std::uint8_t MAX_REQUESTED_BLOCKS = 20;

constexpr int TRANSFER_IDLE_LIMIT = 360;                  // idle passes of 500 ms...
constexpr std::uint32_t TRANSFER_IDLE_PAUSE_MS = 500;     // ...each at most this long
// The give-up: 180 s spent in idle passes, counted in time, since a pass
// ends early when a byte arrives.
constexpr std::uint32_t TRANSFER_IDLE_LIMIT_MS = TRANSFER_IDLE_LIMIT * TRANSFER_IDLE_PAUSE_MS;
constexpr std::uint8_t TRANSFER_BUSY_HOLD_OFF = 30;       // to other sites' data and status
constexpr std::uint8_t TRANSFER_GIVE_UP_HOLD_OFF = 0;     // when the transfer gives up
constexpr std::uint8_t BLOCK_MAP_NOT_EXPECTED = 0xFF;
constexpr std::uint8_t BLOCK_MAP_MISSING = 0;

// What a transfer collects, and the train being assembled (also for an
// All-in-One Data Packet). Owned by the collector; the worker thread's alone.
struct TransferState {
    std::uint8_t blockBuffer[BLOCK_BUFFER_SIZE] = {};
    std::uint8_t blockMap[BLOCK_MAP_SIZE] = {};
    TrainRecord trainRecord{};
    std::uint8_t transferSiteId = 0;
    std::uint8_t requestedBlockCount = 0;
    std::uint32_t requestedBlockSize = 0;
    // Bytes of blockBuffer written by the running transfer (the highest
    // offset + length stored), so assembly never reads what did not arrive.
    std::uint32_t blockBytesStored = 0;
};

// A running transfer as the operator sees it, kept by the collector.
struct TransferProgress {
    bool running = false;
    std::uint8_t siteId = 0;
    int received = 0;          // blocks arrived
    int announced = 0;         // blocks the request announced (at most 20)
    std::uint32_t idleMs = 0;  // idle time so far; it gives up at TRANSFER_IDLE_LIMIT_MS
};

// "transfer from SiteID = 12: 3 of 9 blocks, idle 4 s, gives up in 176 s",
// or "" when none runs.
std::string FormatTransferProgress(const TransferProgress& progress);

// How a transfer ended.
enum class TransferOutcome {
    Complete,  // every announced block arrived: journaled, ACK sent, assembled and reported
    GivenUp,   // 180 s of idle passes: hold-off 0 sent, nothing reported
    Stopped,   // the collector was asked to stop: ended at once, nothing sent, nothing reported
    Ended,     // the served site ended it: its Powerup (TransferGivenUp published, then
               // registered and acknowledged), its All-in-One train (acknowledged and
               // reported), or a new request it started over with that was refused
};

// Reads the Request to Transmit in rxBuffer (count, size) into the transfer
// state. A request for more than 20 blocks is answered with CANCEL and
// OverAnnounced is published: false then.
bool TakeTransferRequest(Collector& collector);

// Runs one transfer to its end (through any new starts the site makes).
// Preconditions: the Request to Transmit has just been received and logged
// (the link's header names the requesting site), and requestedBlockCount (at
// most 20) and requestedBlockSize hold its payload (TakeTransferRequest).
TransferOutcome RunTrainTransfer(Collector& collector);

// Stores the Data Packet or Last Data Packet in rxBuffer by its block number.
// Block numbers outside 1..20 are dropped; a block reaching past the end of
// blockBuffer is cut at the end. Both are logged as errors. Raises
// blockBytesStored to the end of what was written.
void StoreDataBlock(Collector& collector);

// True when every expected block (1 up to the first block number that is not
// expected, at most 20) has arrived.
bool TransferIsComplete(const TransferState& transfer);
