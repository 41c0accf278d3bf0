#pragma once
// One radio link as the collector drives it: the port it talks through, the
// clock that times it, where its lines and events go, the frame being
// received (the lexer) with the decoded header of the last good one, and
// the frame being sent. The receiver and the command packets work on this
// and on nothing else; what a transfer collects lives in the engine.
#include <cstddef>
#include <cstdint>

#include "common/Output.h"
#include "platform/Clock.h"
#include "radio/Frame.h"
#include "radio/FrameLexer.h"
#include "radio/SerialPort.h"

constexpr std::size_t PACKET_TYPE_NAME_SIZE = 260;
// The largest frame the collector builds is the echo of 1000: 14 + 6 x 1001.
constexpr std::size_t TX_BUFFER_SIZE = 14 + 6 * 1001;

// The header of the last good frame, as LogPacket decoded it.
struct PacketHeader {
    std::uint8_t sourceId = 0;
    std::uint8_t destinationId = 0;
    std::uint8_t sequenceNumber = 0;
    std::int32_t frameLength = 0;
    std::uint8_t packetType = 0;
    bool addressedToUs = false;
    char typeName[PACKET_TYPE_NAME_SIZE] = {};
};

class RadioLink {
public:
    RadioLink(CSerialPortInterface& port, IClock& clock, IOutput& out)
        : port(port), clock(clock), out(out) {}
    RadioLink(const RadioLink&) = delete;
    RadioLink& operator=(const RadioLink&) = delete;

    // The idle pause: at most `milliseconds`, ended by the first byte that
    // arrives on the port.
    void WaitForRadio(std::uint32_t milliseconds) { clock.Pause(milliseconds, port); }

    CSerialPortInterface& port;
    IClock& clock;
    IOutput& out;
    FrameLexer rx;          // inPacket, lastByteTick, rxBuffer (2048 bytes), rxCount
    PacketHeader header;
    std::uint8_t txBuffer[TX_BUFFER_SIZE] = {};
    std::int32_t txLength = 0;
};

// The payload of the frame in rxBuffer and its length (frame length - 11,
// never negative, never past the bytes received).
inline const std::uint8_t* RxPayload(const RadioLink& link) { return link.rx.rxBuffer.data() + 8; }
inline std::size_t RxPayloadLength(const RadioLink& link) {
    // The frame in rxBuffer is complete, so its length field equals rxCount;
    // take the smaller anyway so a payload never reaches past what arrived.
    const std::int32_t frame =
        link.header.frameLength < link.rx.rxCount ? link.header.frameLength : link.rx.rxCount;
    if (frame < static_cast<std::int32_t>(FRAME_OVERHEAD)) return 0;
    return static_cast<std::size_t>(frame) - FRAME_OVERHEAD;
}
