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

FrameBuilder::FrameBuilder(std::uint8_t* out, std::size_t cap, std::uint8_t source,
                           std::uint8_t destination, std::uint8_t sequence, std::uint8_t type)
    : out_(out), cap_(cap), size_(FRAME_HEADER_SIZE) {
    if (cap_ < FRAME_HEADER_SIZE) return;
    out_[0] = FRAME_START_1;
    out_[1] = FRAME_START_2;
    out_[2] = source;
    out_[3] = destination;
    out_[4] = sequence;
    out_[5] = 0;
    out_[6] = 0;
    out_[7] = type;
}

void FrameBuilder::Append(const std::uint8_t* bytes, std::size_t count) {
    if (count > 0 && size_ + count + 3 <= cap_) std::memcpy(out_ + size_, bytes, count);
    size_ += count;
}

std::size_t FrameBuilder::Finish() {
    const std::size_t total = size_ + 3;
    if (total > cap_ || total > 0xFFFF) return 0;
    WriteLe16(out_ + 5, static_cast<std::uint16_t>(total));
    WriteLe16(out_ + size_, ComputeChecksum(out_, static_cast<std::uint16_t>(size_)));
    out_[size_ + 2] = FRAME_END;
    return total;
}

std::size_t BuildFrame(std::uint8_t* out, std::size_t cap, std::uint8_t source,
                       std::uint8_t destination, std::uint8_t sequence, std::uint8_t type,
                       const std::uint8_t* payload, std::size_t payloadLength) {
    FrameBuilder frame(out, cap, source, destination, sequence, type);
    frame.Append(payload, payloadLength);
    return frame.Finish();
}

std::vector<std::uint8_t> BuildFrame(std::uint8_t source, std::uint8_t destination,
                                     std::uint8_t sequence, std::uint8_t type,
                                     const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> frame(payload.size() + FRAME_OVERHEAD);
    frame.resize(BuildFrame(frame.data(), frame.size(), source, destination, sequence, type,
                            payload.data(), payload.size()));
    return frame;
}
