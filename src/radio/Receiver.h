#pragma once
// The packet receiver: drains the radio port into the link's frame lexer
// and logs what the lexer drops; the packet log decodes a good frame's
// header. ReceiveStep is the one receive step of the idle loop and of a
// transfer.
#include <cstdint>

class RadioLink;

// True when a complete frame with a good checksum is in rxBuffer (rxCount
// bytes). The caller calls ResetReceiver once it has handled the packet.
bool ReceivePacket(RadioLink& link);
bool IsFrameComplete(const RadioLink& link);
void ResetReceiver(RadioLink& link);
// Decodes the header of the good frame in rxBuffer into link.header, logs
// it, returns its type.
std::uint8_t LogPacket(RadioLink& link);
void SetPacketTypeName(RadioLink& link, std::uint8_t code);

enum class Received {
    Nothing,   // no whole frame came in: the step waited for the radio
    NotForUs,  // a frame for another collector, logged and dropped: the step waited
    Packet,    // a packet for us, logged, its header in link.header; the
               // caller handles it, then calls ResetReceiver
};
// Takes in what the port has; when no packet for this collector is in,
// waits for the radio at most `idleMs` (the first byte ends the wait).
Received ReceiveStep(RadioLink& link, std::uint32_t idleMs);
