#pragma once
// The packets that the idle loop and a running transfer both take in, and
// what is done with a train once it is assembled. One table says which
// packet goes where; the loop and the transfer each ask it first and
// handle only what is theirs (a request, a transfer's blocks, the turning
// away of other sites).
#include <cstddef>
#include <cstdint>

#include "records/Journal.h"

class Collector;

// Looks the packet in the link's header up in the table of shared packets
// and handles it (All-in-One Data Packet, Powerup). False when it is not
// one of them.
bool HandleSharedPacket(Collector& collector);

// The All-in-One Data Packet: journal the stream from payload byte 17, ACK
// with the packet's sequence byte, assemble, report.
void HandleAllInOne(Collector& collector);

// The Powerup: registered, saved, logged, acknowledged; then
// PowerupRegistered for the site.
void RegisterPowerup(Collector& collector);

// Writes the train report of the collector's train record for the site and
// publishes TrainReported (or ReportFailed). A report the data folder
// refuses is held (engine/HeldTrains.h); while trains are held, they are
// tried first, then the new one.
void ReportTrain(Collector& collector, std::uint8_t siteId);

// Appends a train's data stream, as received, to the collector's train
// journal and flushes it to the disk: called before the train's ACK. A
// failure is logged (once) and changes nothing else.
void JournalTrainData(Collector& collector, TrainDelivery delivery, std::uint8_t siteId,
                      std::uint8_t trackOrSequence, std::uint8_t blockCount, const std::uint8_t* stream,
                      std::size_t size);

// At start: cuts the journal files' torn ends, removes the old ones, and
// writes again, from the journal of today and yesterday, every train report
// that is not in the report folder (under its name or a "-N" name holding
// the same bytes): a train acknowledged just before a crash. Each is logged
// as "Train report <path> restored from the journal" and published as
// TrainReported. Returns how many were restored.
int RestoreJournaledTrains(Collector& collector);
