#pragma once
// The packet receiver: drains the radio port byte by byte into rxBuffer,
// synchronises on 55 AA, ends a frame by its length field, drops frames with
// a gap over 3000 ms or more than 2046 bytes, checks the checksum.
#include <cstdint>

struct CollectorContext;

constexpr std::uint32_t RECEIVER_MAX_GAP_MS = 3000;

// True when a complete frame with a good checksum is in rxBuffer (rxCount
// bytes). The caller calls ResetReceiver once it has handled the packet.
bool ReceivePacket(CollectorContext& ctx);
bool IsFrameComplete(const CollectorContext& ctx);
void ResetReceiver(CollectorContext& ctx);
// Decodes the header of the good frame in rxBuffer, logs it, returns its type.
std::uint8_t LogPacket(CollectorContext& ctx);
void SetPacketTypeName(CollectorContext& ctx, std::uint8_t code);
