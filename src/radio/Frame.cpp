#include "radio/Frame.h"

#include <cstring>

std::uint16_t ComputeChecksum(const std::uint8_t* bytes, std::uint16_t count) {
    if (count == 0) return 0;
    std::uint16_t r = 0;
    for (std::uint16_t i = 0; i < count; ++i) {
        r = static_cast<std::uint16_t>((r << 8) | (r >> 8));
        r ^= static_cast<std::uint16_t>(bytes[i] << 8);
        r ^= static_cast<std::uint16_t>((r & 0x0F00) << 4);
        r ^= static_cast<std::uint16_t>((r & 0xFF00) >> 5);
    }
    r = static_cast<std::uint16_t>((r << 8) | (r >> 8));
    return static_cast<std::uint16_t>(~r);
}

const char* KnownPacketTypeName(std::uint8_t code) {
    switch (code) {
        case 10: return "Request to Transmit";
        case 11: return "All-in-One Data Packet";
        case 12: return "Data Packet";
        case 13: return "Last Data Packet";
        case 14: return "Send Status";
        case 15: return "Powerup";
        case 30: return "ACK to Request Voice";
        case 31: return "ACK to Request Echo";
        case 40: return "Request Voice";
        case 41: return "Request Echo";
        case 45: return "Bridge ON";
        case 46: return "Bridge OFF";
        case 47: return "Bridge Text Collect";
        case 48: return "Bridge Text Remote";
        case 50: return "Bridge Extend Time";
        default: return nullptr;
    }
}

std::size_t BuildFrame(std::uint8_t* out, std::size_t cap, std::uint8_t source,
                       std::uint8_t destination, std::uint8_t sequence, std::uint8_t type,
                       const std::uint8_t* payload, std::size_t payloadLength) {
    const std::size_t total = payloadLength + FRAME_OVERHEAD;
    if (total > cap || total > 0xFFFF) return 0;
    out[0] = FRAME_START_1;
    out[1] = FRAME_START_2;
    out[2] = source;
    out[3] = destination;
    out[4] = sequence;
    WriteLe16(out + 5, static_cast<std::uint16_t>(total));
    out[7] = type;
    if (payloadLength > 0) std::memcpy(out + FRAME_HEADER_SIZE, payload, payloadLength);
    const std::size_t n = FRAME_HEADER_SIZE + payloadLength;
    WriteLe16(out + n, ComputeChecksum(out, static_cast<std::uint16_t>(n)));
    out[n + 2] = FRAME_END;
    return total;
}
