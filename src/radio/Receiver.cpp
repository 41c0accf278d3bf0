#include "radio/Receiver.h"

#include <cstdio>
#include <utility>

#include "common/Events.h"
#include "common/Globals.h"
#include "common/LogLine.h"
#include "common/Messages.h"
#include "engine/CollectorContext.h"
#include "platform/Clock.h"
#include "radio/Frame.h"
#include "radio/SerialPort.h"

bool IsFrameComplete(const CollectorContext& ctx) {
    if (ctx.rxCount < static_cast<std::int32_t>(FRAME_MIN_ACCEPTED)) return false;
    return ctx.rxCount == ReadLe16(ctx.rxBuffer + 5);
}

void ResetReceiver(CollectorContext& ctx) {
    ctx.rxCount = 0;
    ctx.inPacket = 0;
    ctx.lastByteTick = GetTickCount();
}

namespace {

// A frame dropped by the receiver: its source is known once byte 2 is in.
void PublishFrameError(const CollectorContext& ctx, FrameErrorKind kind, std::int32_t count) {
    EngineEvent event;
    event.kind = EventKind::FrameError;
    event.frameError = kind;
    event.siteId = ctx.inPacket == 1 && ctx.rxCount > 2 ? ctx.rxBuffer[2] : 0;
    event.count = count;
    PublishEvent(std::move(event));
}

void ResetAt(CollectorContext& ctx, std::uint32_t now) {
    ctx.rxCount = 0;
    ctx.inPacket = 0;
    ctx.lastByteTick = now;
}

// How many bytes the frame in rxBuffer still needs by its length field, when
// that field is already in and can be trusted to end the frame within the
// buffer; 0 when the frame must go on byte by byte.
std::size_t BytesStillExpected(const CollectorContext& ctx) {
    if (ctx.rxCount < 7) return 0;
    const std::uint16_t length = ReadLe16(ctx.rxBuffer + 5);
    if (length < FRAME_MIN_ACCEPTED || length > FRAME_MAX_HELD) return 0;
    if (length <= ctx.rxCount) return 0;
    return static_cast<std::size_t>(length - ctx.rxCount);
}

}  // namespace

bool ReceivePacket(CollectorContext& ctx) {
    CSerialPortInterface& port = RadioPort();
    // All the bytes one call drains were waiting in the port together: they
    // are read within microseconds, so one reading of the tick count serves
    // them all.
    bool haveTick = false;
    std::uint32_t now = 0;
    for (;;) {
        const std::int32_t got = port.ReadChar();
        if (got < 0) return false;
        const std::uint8_t byte = static_cast<std::uint8_t>(got);

        if (!haveTick) {
            now = GetTickCount();
            haveTick = true;
        }
        std::uint32_t gap = 0;
        if (ctx.inPacket == 1) gap = now - ctx.lastByteTick;
        ctx.lastByteTick = now;

        if (ctx.inPacket == 1 && gap > RECEIVER_MAX_GAP_MS) {
            LogLine(COLOUR_DARK_RED,
                    "Error: Too long delay in between chars (%d ticks). Resetting Buffer\n",
                    static_cast<int>(gap));
            PublishFrameError(ctx, FrameErrorKind::Gap, static_cast<std::int32_t>(gap));
            ResetAt(ctx, now);
            // The byte that ended the gap becomes byte 0 while the receiver is
            // idle, so a following AA starts a new frame if it was 55.
            ctx.rxBuffer[0] = byte;
            ctx.rxCount = 1;
            continue;
        }

        if (ctx.inPacket == 0) {
            if (byte == FRAME_START_1) {
                ctx.rxBuffer[0] = byte;
                ctx.rxCount = 1;
            } else if (byte == FRAME_START_2) {
                if (ctx.rxBuffer[0] == FRAME_START_1) {
                    ctx.inPacket = 1;
                    ctx.rxBuffer[1] = byte;
                    ctx.rxCount = 2;
                }
            } else {
                ResetAt(ctx, now);
            }
            continue;
        }

        if (ctx.rxCount < static_cast<std::int32_t>(FRAME_MAX_HELD)) {
            ctx.rxBuffer[ctx.rxCount++] = byte;
        } else {
            LogLine(COLOUR_DARK_RED, "ERROR: Packet is too long (%d bytes)! Resetting buffer\n",
                    static_cast<int>(ctx.rxCount));
            PublishFrameError(ctx, FrameErrorKind::TooLong, ctx.rxCount);
            ResetAt(ctx, now);
            continue;
        }

        // Once the length field is in, the rest of the frame up to the
        // position it names is taken in one block: those bytes can neither
        // start nor end anything (an end byte counts only at that position),
        // and nothing behind the frame is taken from the port.
        if (const std::size_t rest = BytesStillExpected(ctx); rest > 0) {
            const std::size_t taken = port.ReadBytes(ctx.rxBuffer + ctx.rxCount, rest);
            if (taken == 0) continue;
            ctx.rxCount += static_cast<std::int32_t>(taken);
            if (ctx.rxBuffer[ctx.rxCount - 1] != FRAME_END || !IsFrameComplete(ctx)) continue;
        } else if (byte != FRAME_END || !IsFrameComplete(ctx)) {
            continue;
        }

        const std::uint16_t computed =
            ComputeChecksum(ctx.rxBuffer, static_cast<std::uint16_t>(ctx.rxCount - 3));
        const std::uint16_t stored = ReadLe16(ctx.rxBuffer + ctx.rxCount - 3);
#if defined(KESTOVA_ACCEPT_ANY_CHECKSUM)
        const bool good = true;
        (void)stored;
        (void)computed;
#else
        const bool good = stored == computed;
#endif
        if (good) {
            SendWindowMessage(scopeWindow.load(), WM_LOG_FIELD_BYTES,
                              static_cast<WPARAM>(ctx.rxCount),
                              reinterpret_cast<LPARAM>(ctx.rxBuffer));
            return true;
        }
        LogLine(COLOUR_DARK_RED, "ERROR: Bad Checksum (is %04X ShouldBe %04X)\n",
                static_cast<unsigned>(stored), static_cast<unsigned>(computed));
        LogLine(COLOUR_DARK_RED, "ERROR: BAD Chcksum, Packet with %d bytes.\n",
                static_cast<int>(ctx.rxCount));
        PublishFrameError(ctx, FrameErrorKind::BadChecksum, ctx.rxCount);
        ResetAt(ctx, now);
        return false;
    }
}

void SetPacketTypeName(CollectorContext& ctx, std::uint8_t code) {
    const char* name = KnownPacketTypeName(code);
    if (name != nullptr) {
        std::snprintf(ctx.packetTypeName, sizeof ctx.packetTypeName, "%s", name);
    } else {
        std::snprintf(ctx.packetTypeName, sizeof ctx.packetTypeName, "Unkwn Code %d",
                      static_cast<int>(code));
    }
}

std::uint8_t LogPacket(CollectorContext& ctx) {
    ctx.sourceId = ctx.rxBuffer[2];
    ctx.destinationId = ctx.rxBuffer[3];
    ctx.sequenceNumber = ctx.rxBuffer[4];
    ctx.frameLength = ReadLe16(ctx.rxBuffer + 5);
    ctx.packetType = ctx.rxBuffer[7];
    ctx.addressedToUs = ctx.destinationId == COLLECTOR_ID ? 1 : 0;
    SetPacketTypeName(ctx, ctx.packetType);
    LogLine(COLOUR_DARK_BLUE, "%s packet from SiteID = %d, sent to CollectorID = %d\n",
            ctx.packetTypeName, static_cast<int>(ctx.sourceId),
            static_cast<int>(ctx.destinationId));
    return ctx.packetType;
}
