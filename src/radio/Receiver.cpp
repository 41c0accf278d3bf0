#include "radio/Receiver.h"

#include <cstdio>
#include <ctime>
#include <utility>

#include "common/Events.h"
#include "common/Globals.h"
#include "common/LinkStatus.h"
#include "common/LogLine.h"
#include "common/Messages.h"
#include "common/ScopeEntry.h"
#include "platform/Clock.h"
#include "radio/CollectorContext.h"
#include "radio/Frame.h"
#include "radio/FrameLexer.h"
#include "radio/SerialPort.h"

bool IsFrameComplete(const CollectorContext& ctx) { return ctx.rx.IsFrameComplete(); }

void ResetReceiver(CollectorContext& ctx) { ctx.rx.Reset(GetTickCount()); }

namespace {

// A frame the receiver dropped; its source is known when byte 2 had arrived
// (the dropped bytes stay in rxBuffer until new ones come).
void PublishFrameError(const FrameLexer& rx, FrameErrorKind kind, std::int32_t count, bool sourceKept) {
    EngineEvent event;
    event.kind = EventKind::FrameError;
    event.frameError = kind;
    event.siteId = sourceKept && rx.Dropped() > 2 ? rx.rxBuffer[2] : 0;
    event.count = count;
    PublishEvent(std::move(event));
}

}  // namespace

bool ReceivePacket(CollectorContext& ctx) {
    CSerialPortInterface& port = RadioPort();
    FrameLexer& rx = ctx.rx;
    // All the bytes one call drains were waiting in the port together: they
    // are read within microseconds, so one reading of the tick count serves
    // them all.
    bool haveTick = false;
    std::uint32_t now = 0;
    for (;;) {
        const std::int32_t got = port.ReadChar();
        if (got < 0) return false;
        if (!haveTick) {
            now = GetTickCount();
            haveTick = true;
        }
        FrameLexer::Event event = rx.Feed(static_cast<std::uint8_t>(got), now);
        // Once the length field is in, the rest of the frame up to the
        // position it names is taken in one block; nothing behind the frame
        // is taken from the port.
        if (const std::size_t rest = event == FrameLexer::Event::None ? rx.Expected() : 0; rest > 0) {
            std::uint8_t block[FRAME_MAX_HELD];
            const std::size_t taken = port.ReadBytes(block, rest);
            rx.Feed(block, taken, now, &event);
        }
        switch (event) {
            case FrameLexer::Event::None:
                break;
            case FrameLexer::Event::Gap:
                LogLine(COLOUR_DARK_RED,
                        "Error: Too long delay in between chars (%d ticks). Resetting Buffer\n",
                        static_cast<int>(rx.Gap()));
                PublishFrameError(rx, FrameErrorKind::Gap, static_cast<std::int32_t>(rx.Gap()), false);
                break;
            case FrameLexer::Event::TooLong:
                LogLine(COLOUR_DARK_RED, "ERROR: Packet is too long (%d bytes)! Resetting buffer\n",
                        static_cast<int>(rx.Dropped()));
                PublishFrameError(rx, FrameErrorKind::TooLong, rx.Dropped(), true);
                break;
            case FrameLexer::Event::Frame:
                NoteGoodFrame(std::time(nullptr));
                SendToScope(WM_LOG_FIELD_BYTES, static_cast<WPARAM>(rx.rxCount),
                            reinterpret_cast<LPARAM>(rx.rxBuffer.data()));
                return true;
            case FrameLexer::Event::BadChecksum:
                LogLine(COLOUR_DARK_RED, "ERROR: Bad Checksum (is %04X ShouldBe %04X)\n",
                        static_cast<unsigned>(rx.Stored()), static_cast<unsigned>(rx.Computed()));
                LogLine(COLOUR_DARK_RED, "ERROR: BAD Chcksum, Packet with %d bytes.\n",
                        static_cast<int>(rx.Dropped()));
                PublishFrameError(rx, FrameErrorKind::BadChecksum, rx.Dropped(), true);
                return false;
        }
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
    const std::uint8_t* frame = ctx.rx.rxBuffer.data();
    ctx.sourceId = frame[2];
    ctx.destinationId = frame[3];
    ctx.sequenceNumber = frame[4];
    ctx.frameLength = ReadLe16(frame + 5);
    ctx.packetType = frame[7];
    ctx.addressedToUs = ctx.destinationId == COLLECTOR_ID ? 1 : 0;
    SetPacketTypeName(ctx, ctx.packetType);
    LogLine(COLOUR_DARK_BLUE, "%s packet from SiteID = %d, sent to CollectorID = %d\n",
            ctx.packetTypeName, static_cast<int>(ctx.sourceId),
            static_cast<int>(ctx.destinationId));
    return ctx.packetType;
}
