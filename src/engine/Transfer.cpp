#include "engine/Transfer.h"

#include <cstddef>
#include <cstring>
#include <optional>

#include "common/Bytes.h"
#include "common/Events.h"
#include "common/LogLine.h"
#include "engine/Assembly.h"
#include "engine/Collector.h"
#include "engine/HeldTrains.h"
#include "engine/Packets.h"
#include "radio/Commands.h"
#include "radio/Frame.h"
#include "radio/Link.h"
#include "radio/Receiver.h"

namespace {

// The highest block number a transfer can hold (the block map has one entry
// per number 0..20; the worker refuses requests for more blocks).
constexpr std::uint8_t LAST_BLOCK_NUMBER = static_cast<std::uint8_t>(BLOCK_MAP_SIZE - 1);

// A packet from a site other than the one being served: what both the
// idle loop and the transfer take in goes to the shared handlers, the rest
// is turned away.
void AnswerOtherSite(Collector& c) {
    RadioLink& link = c.Link();
    if (HandleSharedPacket(c)) return;
    switch (link.header.packetType) {
        case PT_REQUEST_TO_TRANSMIT:
            SendBusy(link, link.header.sourceId);
            break;
        case PT_DATA:
        case PT_LAST_DATA:
        case PT_SEND_STATUS:
            SendHoldOff(link, link.header.sourceId, TRANSFER_BUSY_HOLD_OFF);
            break;
        default:
            break;
    }
}

void FinishTransfer(Collector& c) {
    RadioLink& link = c.Link();
    TransferState& t = c.Transfer();
    // On the disk before the site is told it arrived.
    JournalTrainData(c, TrainDelivery::Blocks, t.transferSiteId, 0, t.requestedBlockCount, t.blockBuffer,
                     t.blockBytesStored);
    SendAck(link, link.header.sourceId, 0);
    // Only the bytes this transfer wrote are handed over: whatever lies beyond
    // them in blockBuffer belongs to no block of this train.
    if (!AssembleFromBlocks(t.trainRecord, t.blockBuffer, t.blockBytesStored)) {
        LogShortTrainStream(c, t.transferSiteId, t.blockBytesStored);  // still reported
    }
    LogUncarriedAxles(c, t.transferSiteId, t.trainRecord);
    PublishSiteEvent(c, EventKind::TransferComplete, t.transferSiteId, t.requestedBlockCount);
    ReportTrain(c, t.transferSiteId);
}

// The payload length of the good frame in rxBuffer, from its length field:
// the receiver may already have been reset (rxCount 0), but the frame's bytes
// stay in rxBuffer until new ones arrive.
std::size_t BlockPayloadLength(const RadioLink& link) {
    const std::int32_t length = link.header.frameLength;
    std::size_t frame = length > 0 ? static_cast<std::size_t>(length) : 0;
    if (frame > FRAME_MAX_HELD) frame = FRAME_MAX_HELD;
    return frame > FRAME_OVERHEAD ? frame - FRAME_OVERHEAD : 0;
}

// Forgets every block held. A block shorter than the announced size leaves
// a gap before the next one; it reads as zeros rather than as an earlier
// train's bytes.
void DropBlocks(TransferState& t) {
    std::memset(t.blockMap, BLOCK_MAP_NOT_EXPECTED, sizeof t.blockMap);
    std::memset(t.blockBuffer, 0, sizeof t.blockBuffer);
    t.blockBytesStored = 0;
}

int ReceivedBlocks(const TransferState& t) {
    int received = 0;
    for (std::uint8_t n = 1; n <= LAST_BLOCK_NUMBER; ++n)
        if (t.blockMap[n] == n) ++received;
    return received;
}

// Tells the collector how far the transfer is (the status line and bar).
void NoteProgress(Collector& c, std::uint32_t idleMs) {
    const TransferState& t = c.Transfer();
    TransferProgress p;
    p.running = true;
    p.siteId = t.transferSiteId;
    p.received = ReceivedBlocks(t);
    p.announced = t.requestedBlockCount < LAST_BLOCK_NUMBER ? t.requestedBlockCount : LAST_BLOCK_NUMBER;
    p.idleMs = idleMs;
    c.NoteTransfer(p);
}

int MissingBlocks(const TransferState& t) {
    int missing = 0;
    for (std::uint8_t n = 1; n <= LAST_BLOCK_NUMBER; ++n)
        if (t.blockMap[n] == BLOCK_MAP_MISSING) ++missing;
    return missing;
}

// How long an idle pass (which the receive step ended with its wait for the
// radio) took since `passStart`.
std::uint32_t IdlePass(const RadioLink& link, std::uint32_t passStart) {
    return link.clock.TickCount() - passStart;
}

}  // namespace

void StoreDataBlock(Collector& c) {
    RadioLink& link = c.Link();
    TransferState& t = c.Transfer();
    const std::uint8_t n = link.header.sequenceNumber;
    const std::size_t length = BlockPayloadLength(link);
    if (n == 0 || n > LAST_BLOCK_NUMBER) {
        // Block 0 would lie before the buffer, and numbers above 20 have no
        // entry in the block map: neither has a place to go.
        LogLine(c, COLOUR_DARK_RED,
                "ERROR: Data block %d from SiteID = %d is outside blocks 1 to %d; "
                "%d bytes dropped\n",
                static_cast<int>(n), static_cast<int>(link.header.sourceId),
                static_cast<int>(LAST_BLOCK_NUMBER), static_cast<int>(length));
        PublishSiteEvent(c, EventKind::OverAnnounced, link.header.sourceId, n);
        return;
    }

    const std::size_t offset = static_cast<std::size_t>(n - 1) * t.requestedBlockSize;
    std::size_t kept = 0;
    if (offset < BLOCK_BUFFER_SIZE) {
        kept = length < BLOCK_BUFFER_SIZE - offset ? length : BLOCK_BUFFER_SIZE - offset;
    }
    if (kept < length) {
        // The part that fits is kept and the block counts as received: the
        // site would send the same block again however often it was asked,
        // so asking again could only stall the train until the give-up.
        LogLine(c, COLOUR_DARK_RED,
                "ERROR: Data block %d from SiteID = %d (%d bytes at offset %d) passes the "
                "end of the %d-byte block buffer; %d bytes kept\n",
                static_cast<int>(n), static_cast<int>(link.header.sourceId), static_cast<int>(length),
                static_cast<int>(offset), static_cast<int>(BLOCK_BUFFER_SIZE),
                static_cast<int>(kept));
        PublishSiteEvent(c, EventKind::OverAnnounced, link.header.sourceId, n);
    }
    if (kept > 0) {
        std::memcpy(t.blockBuffer + offset, RxPayload(link), kept);
        const std::uint32_t end = static_cast<std::uint32_t>(offset + kept);
        if (end > t.blockBytesStored) t.blockBytesStored = end;
    }
    t.blockMap[n] = n;
}

bool TransferIsComplete(const TransferState& t) {
    for (std::uint8_t n = 1; n <= LAST_BLOCK_NUMBER; ++n) {
        if (t.blockMap[n] == BLOCK_MAP_MISSING) return false;
        if (t.blockMap[n] == BLOCK_MAP_NOT_EXPECTED) return true;
    }
    return true;
}

bool TakeTransferRequest(Collector& c) {
    RadioLink& link = c.Link();
    TransferState& t = c.Transfer();
    // A request shorter than its three payload bytes reads the missing ones
    // as 0, never the checksum or end byte behind it.
    std::uint8_t request[3] = {0, 0, 0};
    const std::size_t have = RxPayloadLength(link) < 3 ? RxPayloadLength(link) : 3;
    std::memcpy(request, RxPayload(link), have);
    t.requestedBlockCount = request[0];
    t.requestedBlockSize = ReadLe16(request + 1);
    if (t.requestedBlockCount <= MAX_REQUESTED_BLOCKS) return true;
    SendCancel(link, link.header.sourceId);
    PublishSiteEvent(c, EventKind::OverAnnounced, link.header.sourceId, t.requestedBlockCount);
    return false;
}

namespace {

// One grant and what follows it. Nothing (std::nullopt) when the served
// site sent a new Request to Transmit after blocks of this one arrived: the
// blocks held are dropped and the new request, read into the transfer
// state, is to be granted next (one refused with CANCEL ends the transfer).
std::optional<TransferOutcome> ServeRequest(Collector& c) {
    RadioLink& link = c.Link();
    TransferState& t = c.Transfer();
    DropBlocks(t);
    const std::uint8_t count =
        t.requestedBlockCount < LAST_BLOCK_NUMBER ? t.requestedBlockCount : LAST_BLOCK_NUMBER;
    std::memset(t.blockMap, BLOCK_MAP_MISSING, static_cast<std::size_t>(count) + 1);

    ResetReceiver(link);
    t.transferSiteId = link.header.sourceId;
    SendProceedToTransmit(link, t.transferSiteId, t.requestedBlockCount, t.requestedBlockSize);

    // Idle time is counted over the whole transfer and never reset, so the
    // transfer ends after 180 s spent waiting, however much arrived. It is
    // the time the idle passes took, not their number: a pass ends early
    // when a byte arrives, and noise, bad frames or frames for another
    // collector would otherwise use up the passes in a fraction of that.
    std::uint32_t idleMs = 0;
    bool blockArrived = false;
    while (idleMs < TRANSFER_IDLE_LIMIT_MS) {
        if (c.StopRequested()) return TransferOutcome::Stopped;
        NoteProgress(c, idleMs);

        const std::uint32_t passStart = link.clock.TickCount();
        if (ReceiveStep(link, TRANSFER_IDLE_PAUSE_MS) != Received::Packet) {
            idleMs += IdlePass(link, passStart);
            // A quiet line: held reports are tried when due, as between
            // transfers (never while blocks keep coming).
            RetryHeldTrains(c);
            continue;
        }

        const PacketHeader& h = link.header;
        if (h.sourceId != t.transferSiteId) {
            AnswerOtherSite(c);
            ResetReceiver(link);
            continue;
        }

        // Packets that end this transfer are read while the receiver still
        // holds their length.
        switch (h.packetType) {
            case PT_POWERUP:
                // The site restarted: it has forgotten this transfer.
                LogLine(c, COLOUR_DARK_RED,
                        "Transfer from SiteID = %d ended: the site powered up again\n",
                        static_cast<int>(t.transferSiteId));
                PublishSiteEvent(c, EventKind::TransferGivenUp, t.transferSiteId);
                HandleSharedPacket(c);
                return TransferOutcome::Ended;
            case PT_ALL_IN_ONE:
                LogLine(c, COLOUR_DARK_RED,
                        "Transfer from SiteID = %d ended: the site sent a whole train\n",
                        static_cast<int>(t.transferSiteId));
                HandleSharedPacket(c);
                return TransferOutcome::Ended;
            case PT_REQUEST_TO_TRANSMIT:
                if (!blockArrived) break;
                // The site started over: the blocks held belong to the train
                // it gave up on, and never go into the new one's report.
                LogLine(c, COLOUR_DARK_RED,
                        "Transfer from SiteID = %d started over: %d blocks dropped\n",
                        static_cast<int>(t.transferSiteId), ReceivedBlocks(t));
                DropBlocks(t);
                if (!TakeTransferRequest(c)) return TransferOutcome::Ended;
                return std::nullopt;
            default:
                break;
        }

        // The reset only clears the receiver's counters: the frame stays in
        // rxBuffer for StoreDataBlock.
        ResetReceiver(link);
        switch (h.packetType) {
            case PT_REQUEST_TO_TRANSMIT:
                // No block arrived yet, so the site did not hear the grant:
                // repeat the first one, not whatever the repeated request
                // announces.
                SendProceedToTransmit(link, t.transferSiteId, t.requestedBlockCount,
                                      t.requestedBlockSize);
                break;
            case PT_DATA:
                blockArrived = true;
                StoreDataBlock(c);
                break;
            case PT_LAST_DATA:
                blockArrived = true;
                StoreDataBlock(c);
                if (!TransferIsComplete(t)) {
                    SendSubstitute(link, h.sourceId, t.blockMap);
                    PublishSiteEvent(c, EventKind::TransferRetried, h.sourceId, MissingBlocks(t));
                    break;
                }
                FinishTransfer(c);
                return TransferOutcome::Complete;
            default:
                break;
        }
    }

    // Given up: the hold-off goes to whoever spoke last.
    SendHoldOff(link, link.header.sourceId, TRANSFER_GIVE_UP_HOLD_OFF);
    PublishSiteEvent(c, EventKind::TransferGivenUp, t.transferSiteId);
    return TransferOutcome::GivenUp;
}

}  // namespace

TransferOutcome RunTrainTransfer(Collector& c) {
    // A site that starts over gets a transfer of its own, granted as the
    // new request asks.
    std::optional<TransferOutcome> outcome;
    while (!outcome) outcome = ServeRequest(c);
    c.NoteTransfer(TransferProgress{});
    return *outcome;
}

std::string FormatTransferProgress(const TransferProgress& p) {
    if (!p.running) return "";
    const std::uint32_t left = p.idleMs < TRANSFER_IDLE_LIMIT_MS ? TRANSFER_IDLE_LIMIT_MS - p.idleMs : 0;
    return "transfer from SiteID = " + std::to_string(p.siteId) + ": " + std::to_string(p.received) +
           " of " + std::to_string(p.announced) + " blocks, idle " + std::to_string(p.idleMs / 1000) +
           " s, gives up in " + std::to_string((left + 999) / 1000) + " s";
}
