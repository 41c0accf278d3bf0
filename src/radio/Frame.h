#pragma once
// The radio frame: 55 AA, source, destination, sequence, 16-bit length (the
// whole frame), type, payload, 16-bit checksum over everything before it, FE.
// Multi-byte fields are little-endian; there is no byte stuffing.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/Bytes.h"

constexpr std::uint8_t FRAME_START_1 = 0x55;
constexpr std::uint8_t FRAME_START_2 = 0xAA;
constexpr std::uint8_t FRAME_END = 0xFE;
constexpr std::size_t FRAME_HEADER_SIZE = 8;     // start bytes .. type
constexpr std::size_t FRAME_OVERHEAD = 11;       // header + checksum + end byte
constexpr std::size_t FRAME_MIN_ACCEPTED = 12;   // at least one payload byte
constexpr std::size_t FRAME_MAX_HELD = 2046;

// The collection point's own radio identifier.
constexpr std::uint8_t COLLECTOR_ID = 250;

// Received packet types.
enum PacketType : std::uint8_t {
    PT_ACK = 1,
    PT_CANCEL = 3,
    PT_SUBSTITUTE = 4,
    PT_BUSY = 5,
    PT_PROCEED = 7,
    PT_HOLD_OFF = 8,
    PT_REQUEST_TO_TRANSMIT = 10,
    PT_ALL_IN_ONE = 11,
    PT_DATA = 12,
    PT_LAST_DATA = 13,
    PT_SEND_STATUS = 14,
    PT_POWERUP = 15,
    PT_ACK_REQUEST_VOICE = 30,
    PT_ECHO = 31,
    PT_REQUEST_VOICE = 40,
    PT_REQUEST_ECHO = 41,
    PT_BRIDGE_ON = 45,
    PT_BRIDGE_OFF = 46,
    PT_BRIDGE_TEXT_COLLECT = 47,
    PT_BRIDGE_TEXT_REMOTE = 48,
    PT_BRIDGE_EXTEND_TIME = 50,
};

// The checksum of the radio frames (not a catalogued CRC-16). Zero bytes give 0.
std::uint16_t ComputeChecksum(const std::uint8_t* bytes, std::uint16_t count);

// The name a received packet type is logged under, or null for codes without
// a name (those are logged as "Unkwn Code %d").
const char* KnownPacketTypeName(std::uint8_t code);

// Builds one frame into a buffer: the header at once, the payload by
// appends, the length field, checksum and end byte at Finish. A frame that
// does not fit the buffer or the 16-bit length field is never cut: Finish
// logs an "ERROR" line and gives 0.
class FrameBuilder {
public:
    FrameBuilder(std::uint8_t* out, std::size_t cap, std::uint8_t source, std::uint8_t destination,
                 std::uint8_t sequence, std::uint8_t type);
    void Append(std::uint8_t byte) { Append(&byte, 1); }
    void Append(const std::uint8_t* bytes, std::size_t count);
    // Bytes appended so far, header included (the next byte's position).
    std::size_t Size() const { return size_; }
    // The whole frame's length, or 0 when it did not fit (Requested() then
    // says how long it would have been).
    std::size_t Finish();
    std::size_t Requested() const { return size_ + 3; }
    std::size_t Capacity() const { return cap_; }

private:
    std::uint8_t* out_;
    std::size_t cap_;
    std::size_t size_;  // counts on past cap_, so Finish knows what was asked
};

// A whole frame with this payload into out (capacity cap), as FrameBuilder
// builds it: its length, or 0 when it does not fit.
std::size_t BuildFrame(std::uint8_t* out, std::size_t cap, std::uint8_t source,
                       std::uint8_t destination, std::uint8_t sequence, std::uint8_t type,
                       const std::uint8_t* payload, std::size_t payloadLength);
// The same frame as a vector (empty when it does not fit).
std::vector<std::uint8_t> BuildFrame(std::uint8_t source, std::uint8_t destination,
                                     std::uint8_t sequence, std::uint8_t type,
                                     const std::vector<std::uint8_t>& payload);
