#pragma once
// The packets that the idle loop and a running transfer both take in, and
// what is done with a train once it is assembled. One table says which
// packet goes where; the loop and the transfer each ask it first and
// handle only what is theirs (a request, a transfer's blocks, the turning
// away of other sites).
#include <cstdint>

class Collector;

// Looks the packet in the link's header up in the table of shared packets
// and handles it (All-in-One Data Packet, Powerup). False when it is not
// one of them.
bool HandleSharedPacket(Collector& collector);

// The All-in-One Data Packet: ACK with the packet's sequence byte, assemble
// from payload byte 17, report.
void HandleAllInOne(Collector& collector);

// The Powerup: registered, saved, logged, acknowledged; then
// PowerupRegistered for the site.
void RegisterPowerup(Collector& collector);

// Writes the train report of the collector's train record for the site and
// publishes TrainReported (or ReportFailed). A report the data folder
// refuses is held (engine/HeldTrains.h); while trains are held, they are
// tried first, then the new one.
void ReportTrain(Collector& collector, std::uint8_t siteId);
