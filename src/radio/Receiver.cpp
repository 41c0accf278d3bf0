#include "radio/Receiver.h"

#include <cstdio>
#include <ctime>
#include <utility>

#include "common/Events.h"
#include "common/LinkStatus.h"
#include "common/LogLine.h"
#include "radio/Frame.h"
#include "radio/FrameLexer.h"
#include "radio/Link.h"

bool IsFrameComplete(const RadioLink& link) { return link.rx.IsFrameComplete(); }

void ResetReceiver(RadioLink& link) { link.rx.Reset(link.clock.TickCount()); }

namespace {

// A frame the receiver dropped; its source is known when byte 2 had arrived
// (the dropped bytes stay in rxBuffer until new ones come).
void PublishFrameError(IOutput& out, const FrameLexer& rx, FrameErrorKind kind, std::int32_t count, bool sourceKept) {
    EngineEvent event;
    event.kind = EventKind::FrameError;
    event.frameError = kind;
    event.siteId = sourceKept && rx.Dropped() > 2 ? rx.rxBuffer[2] : 0;
    event.count = count;
    out.Publish(std::move(event));
}

}  // namespace

bool ReceivePacket(RadioLink& link) {
    CSerialPortInterface& port = link.port;
    IOutput& out = link.out;
    FrameLexer& rx = link.rx;
    // All the bytes one call drains were waiting in the port together: they
    // are read within microseconds, so one reading of the tick count serves
    // them all.
    bool haveTick = false;
    std::uint32_t now = 0;
    for (;;) {
        const std::int32_t got = port.ReadChar();
        if (got < 0) return false;
        if (!haveTick) {
            now = link.clock.TickCount();
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
                LogLine(out, COLOUR_DARK_RED,
                        "Error: Too long delay in between chars (%d ticks). Resetting Buffer\n",
                        static_cast<int>(rx.Gap()));
                PublishFrameError(out, rx, FrameErrorKind::Gap, static_cast<std::int32_t>(rx.Gap()), false);
                break;
            case FrameLexer::Event::TooLong:
                LogLine(out, COLOUR_DARK_RED, "ERROR: Packet is too long (%d bytes)! Resetting buffer\n",
                        static_cast<int>(rx.Dropped()));
                PublishFrameError(out, rx, FrameErrorKind::TooLong, rx.Dropped(), true);
                break;
            case FrameLexer::Event::Frame:
                if (LinkWatch* watch = port.Services().link) watch->NoteGoodFrame(std::time(nullptr));
                out.Scope(WM_LOG_FIELD_BYTES, static_cast<WPARAM>(rx.rxCount),
                          reinterpret_cast<LPARAM>(rx.rxBuffer.data()));
                return true;
            case FrameLexer::Event::BadChecksum:
                LogLine(out, COLOUR_DARK_RED, "ERROR: Bad Checksum (is %04X ShouldBe %04X)\n",
                        static_cast<unsigned>(rx.Stored()), static_cast<unsigned>(rx.Computed()));
                LogLine(out, COLOUR_DARK_RED, "ERROR: BAD Chcksum, Packet with %d bytes.\n",
                        static_cast<int>(rx.Dropped()));
                PublishFrameError(out, rx, FrameErrorKind::BadChecksum, rx.Dropped(), true);
                return false;
        }
    }
}

void SetPacketTypeName(RadioLink& link, std::uint8_t code) {
    char (&typeName)[PACKET_TYPE_NAME_SIZE] = link.header.typeName;
    const char* name = KnownPacketTypeName(code);
    if (name != nullptr) {
        std::snprintf(typeName, sizeof typeName, "%s", name);
    } else {
        std::snprintf(typeName, sizeof typeName, "Unkwn Code %d",
                      static_cast<int>(code));
    }
}

std::uint8_t LogPacket(RadioLink& link) {
    const std::uint8_t* frame = link.rx.rxBuffer.data();
    PacketHeader& h = link.header;
    h.sourceId = frame[2];
    h.destinationId = frame[3];
    h.sequenceNumber = frame[4];
    h.frameLength = ReadLe16(frame + 5);
    h.packetType = frame[7];
    h.addressedToUs = h.destinationId == COLLECTOR_ID;
    SetPacketTypeName(link, h.packetType);
    LogLine(link.out, COLOUR_DARK_BLUE, "%s packet from SiteID = %d, sent to CollectorID = %d\n",
            h.typeName, static_cast<int>(h.sourceId), static_cast<int>(h.destinationId));
    return h.packetType;
}

Received ReceiveStep(RadioLink& link, std::uint32_t idleMs) {
    if (!ReceivePacket(link)) {
        link.WaitForRadio(idleMs);
        return Received::Nothing;
    }
    LogPacket(link);
    if (!link.header.addressedToUs) {
        ResetReceiver(link);
        link.WaitForRadio(idleMs);
        return Received::NotForUs;
    }
    return Received::Packet;
}
