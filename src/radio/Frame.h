#pragma once
// The radio frame: 55 AA, source, destination, sequence, 16-bit length (the
// whole frame), type, payload, 16-bit checksum over everything before it, FE.
// Multi-byte fields are little-endian; there is no byte stuffing.
#include <cstddef>
#include <cstdint>

constexpr std::uint8_t FRAME_START_1 = 0x55;
constexpr std::uint8_t FRAME_START_2 = 0xAA;
constexpr std::uint8_t FRAME_END = 0xFE;
constexpr std::size_t FRAME_HEADER_SIZE = 8;     // start bytes .. type
constexpr std::size_t FRAME_OVERHEAD = 11;       // header + checksum + end byte
constexpr std::size_t FRAME_MIN_ACCEPTED = 12;   // at least one payload byte
constexpr std::size_t FRAME_MAX_HELD = 2046;

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

// Builds a whole frame into out (capacity cap). Returns its length, or 0 when
// it would not fit or would exceed the 16-bit length field.
std::size_t BuildFrame(std::uint8_t* out, std::size_t cap, std::uint8_t source,
                       std::uint8_t destination, std::uint8_t sequence, std::uint8_t type,
                       const std::uint8_t* payload, std::size_t payloadLength);

inline std::uint16_t ReadLe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline void WriteLe16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v & 0xFF);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
