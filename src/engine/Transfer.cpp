#include "engine/Transfer.h"

#include <cstddef>
#include <cstring>

#include "common/Events.h"
#include "common/Globals.h"
#include "common/LogLine.h"
#include "engine/Assembly.h"
#include "engine/Powerup.h"
#include "engine/Worker.h"
#include "platform/Clock.h"
#include "radio/CollectorContext.h"
#include "radio/Commands.h"
#include "radio/Frame.h"
#include "radio/Receiver.h"
#include "radio/SerialPort.h"
#include "records/TrainReport.h"

namespace {

// The highest block number a transfer can hold (the block map has one entry
// per number 0..20; the worker refuses requests for more blocks).
constexpr std::uint8_t LAST_BLOCK_NUMBER = static_cast<std::uint8_t>(BLOCK_MAP_SIZE - 1);

// A packet from a site other than the one being served.
void AnswerOtherSite(CollectorContext& ctx) {
    switch (ctx.packetType) {
        case PT_REQUEST_TO_TRANSMIT:
            SendBusy(ctx, ctx.sourceId);
            break;
        case PT_ALL_IN_ONE:
            // Taken in at once; the blocks collected so far stay untouched.
            HandleAllInOne(ctx);
            break;
        case PT_DATA:
        case PT_LAST_DATA:
        case PT_SEND_STATUS:
            SendHoldOff(ctx, ctx.sourceId, TRANSFER_BUSY_HOLD_OFF);
            break;
        case PT_POWERUP:
            RegisterPowerup(ctx);
            break;
        default:
            break;
    }
}

void FinishTransfer(CollectorContext& ctx) {
    SendAck(ctx, ctx.sourceId, 0);
    // Only the bytes this transfer wrote are handed over: whatever lies beyond
    // them in blockBuffer belongs to no block of this train.
    if (!AssembleFromBlocks(ctx.trainRecord, ctx.blockBuffer, ctx.blockBytesStored)) {
        LogShortTrainStream(ctx.transferSiteId, ctx.blockBytesStored);  // still reported
    }
    LogUncarriedAxles(ctx.transferSiteId, ctx.trainRecord);
    PublishSiteEvent(EventKind::TransferComplete, ctx.transferSiteId, ctx.requestedBlockCount);
    ReportTrain(ctx, ctx.transferSiteId);
}

// The payload length of the good frame in rxBuffer, from its length field:
// the receiver may already have been reset (rxCount 0), but the frame's bytes
// stay in rxBuffer until new ones arrive.
std::size_t BlockPayloadLength(const CollectorContext& ctx) {
    std::size_t frame = ctx.frameLength > 0 ? static_cast<std::size_t>(ctx.frameLength) : 0;
    if (frame > FRAME_MAX_HELD) frame = FRAME_MAX_HELD;
    return frame > FRAME_OVERHEAD ? frame - FRAME_OVERHEAD : 0;
}

int MissingBlocks(const CollectorContext& ctx) {
    int missing = 0;
    for (std::uint8_t n = 1; n <= LAST_BLOCK_NUMBER; ++n)
        if (ctx.blockMap[n] == BLOCK_MAP_MISSING) ++missing;
    return missing;
}

// Ends an idle pass with the wait for the radio; returns how long the pass
// took since `passStart`.
std::uint32_t IdlePass(std::uint32_t passStart) {
    WaitForRadio(TRANSFER_IDLE_PAUSE_MS);
    return GetTickCount() - passStart;
}

}  // namespace

void StoreDataBlock(CollectorContext& ctx) {
    const std::uint8_t n = ctx.sequenceNumber;
    const std::size_t length = BlockPayloadLength(ctx);
    if (n == 0 || n > LAST_BLOCK_NUMBER) {
        // Block 0 would lie before the buffer, and numbers above 20 have no
        // entry in the block map: neither has a place to go.
        LogLine(COLOUR_DARK_RED,
                "ERROR: Data block %d from SiteID = %d is outside blocks 1 to %d; "
                "%d bytes dropped\n",
                static_cast<int>(n), static_cast<int>(ctx.sourceId),
                static_cast<int>(LAST_BLOCK_NUMBER), static_cast<int>(length));
        PublishSiteEvent(EventKind::OverAnnounced, ctx.sourceId, n);
        return;
    }

    const std::size_t offset = static_cast<std::size_t>(n - 1) * ctx.requestedBlockSize;
    std::size_t kept = 0;
    if (offset < BLOCK_BUFFER_SIZE) {
        kept = length < BLOCK_BUFFER_SIZE - offset ? length : BLOCK_BUFFER_SIZE - offset;
    }
    if (kept < length) {
        // The part that fits is kept and the block counts as received: the
        // site would send the same block again however often it was asked,
        // so asking again could only stall the train until the give-up.
        LogLine(COLOUR_DARK_RED,
                "ERROR: Data block %d from SiteID = %d (%d bytes at offset %d) passes the "
                "end of the %d-byte block buffer; %d bytes kept\n",
                static_cast<int>(n), static_cast<int>(ctx.sourceId), static_cast<int>(length),
                static_cast<int>(offset), static_cast<int>(BLOCK_BUFFER_SIZE),
                static_cast<int>(kept));
        PublishSiteEvent(EventKind::OverAnnounced, ctx.sourceId, n);
    }
    if (kept > 0) {
        std::memcpy(ctx.blockBuffer + offset, RxPayload(ctx), kept);
        const std::uint32_t end = static_cast<std::uint32_t>(offset + kept);
        if (end > ctx.blockBytesStored) ctx.blockBytesStored = end;
    }
    ctx.blockMap[n] = n;
}

bool TransferIsComplete(const CollectorContext& ctx) {
    for (std::uint8_t n = 1; n <= LAST_BLOCK_NUMBER; ++n) {
        if (ctx.blockMap[n] == BLOCK_MAP_MISSING) return false;
        if (ctx.blockMap[n] == BLOCK_MAP_NOT_EXPECTED) return true;
    }
    return true;
}

TransferOutcome RunTrainTransfer(CollectorContext& ctx) {
    const std::uint8_t count =
        ctx.requestedBlockCount < LAST_BLOCK_NUMBER ? ctx.requestedBlockCount : LAST_BLOCK_NUMBER;
    std::memset(ctx.blockMap, BLOCK_MAP_NOT_EXPECTED, sizeof ctx.blockMap);
    std::memset(ctx.blockMap, BLOCK_MAP_MISSING, static_cast<std::size_t>(count) + 1);
    // A block shorter than the announced size leaves a gap before the next
    // one; it reads as zeros rather than as an earlier train's bytes.
    std::memset(ctx.blockBuffer, 0, sizeof ctx.blockBuffer);
    ctx.blockBytesStored = 0;

    ResetReceiver(ctx);
    ctx.transferSiteId = ctx.sourceId;
    SendProceedToTransmit(ctx, ctx.transferSiteId, ctx.requestedBlockCount,
                          ctx.requestedBlockSize);

    // Idle time is counted over the whole transfer and never reset, so the
    // transfer ends after 180 s spent waiting, however much arrived. It is
    // the time the idle passes took, not their number: a pass ends early
    // when a byte arrives, and noise, bad frames or frames for another
    // collector would otherwise use up the passes in a fraction of that.
    std::uint32_t idleMs = 0;
    while (idleMs < TRANSFER_IDLE_LIMIT_MS) {
        if (workerStop.load() != 0) return TransferOutcome::Stopped;

        const std::uint32_t passStart = GetTickCount();
        if (!ReceivePacket(ctx)) {
            idleMs += IdlePass(passStart);
            continue;
        }
        LogPacket(ctx);
        if (ctx.addressedToUs == 0) {
            ResetReceiver(ctx);
            idleMs += IdlePass(passStart);
            continue;
        }

        if (ctx.sourceId != ctx.transferSiteId) {
            AnswerOtherSite(ctx);
            ResetReceiver(ctx);
            continue;
        }

        // The reset only clears the receiver's counters: the frame stays in
        // rxBuffer for StoreDataBlock.
        ResetReceiver(ctx);
        switch (ctx.packetType) {
            case PT_REQUEST_TO_TRANSMIT:
                // The site did not hear the grant: repeat the first one, not
                // whatever the repeated request announces.
                SendProceedToTransmit(ctx, ctx.transferSiteId, ctx.requestedBlockCount,
                                      ctx.requestedBlockSize);
                break;
            case PT_DATA:
                StoreDataBlock(ctx);
                break;
            case PT_LAST_DATA:
                StoreDataBlock(ctx);
                if (!TransferIsComplete(ctx)) {
                    SendSubstitute(ctx, ctx.sourceId);
                    PublishSiteEvent(EventKind::TransferRetried, ctx.sourceId, MissingBlocks(ctx));
                    break;
                }
                FinishTransfer(ctx);
                return TransferOutcome::Complete;
            default:
                break;
        }
    }

    // Given up: the hold-off goes to whoever spoke last.
    SendHoldOff(ctx, ctx.sourceId, TRANSFER_GIVE_UP_HOLD_OFF);
    PublishSiteEvent(EventKind::TransferGivenUp, ctx.transferSiteId);
    return TransferOutcome::GivenUp;
}
