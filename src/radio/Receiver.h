#pragma once
// The packet receiver: drains the radio port into the context's frame lexer
// and logs what the lexer drops; the packet log decodes a good frame's header.
#include <cstdint>

struct CollectorContext;

// True when a complete frame with a good checksum is in rxBuffer (rxCount
// bytes). The caller calls ResetReceiver once it has handled the packet.
bool ReceivePacket(CollectorContext& ctx);
bool IsFrameComplete(const CollectorContext& ctx);
void ResetReceiver(CollectorContext& ctx);
// Decodes the header of the good frame in rxBuffer, logs it, returns its type.
std::uint8_t LogPacket(CollectorContext& ctx);
void SetPacketTypeName(CollectorContext& ctx, std::uint8_t code);
