#pragma once
// Turns a train data stream into the TrainRecord. Reads never go past
// `available` bytes of the stream: bytes the counts ask for beyond it read
// as 0. Returns false when the stream was shorter than its counts.
//
// The stream: 12-byte prefix (format version, header length L, axle record
// kind, axle record count, alarm count), L header bytes, the axle records,
// then the alarm entries. Format version 2 is the current format, whose
// header is taken over as it is (at most 112 bytes of it; the axle records
// still begin at 12 + L); any other version is the legacy format, whose
// header is translated. The record is reused from train to train: every
// assembly clears the header and all 1200 axle slots first, so slots a train
// does not fill read 0, never an earlier train's readings.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/Output.h"
#include "common/TrainRecord.h"
#include "records/Journal.h"

constexpr std::uint8_t CURRENT_STREAM_FORMAT = 2;
constexpr std::uint8_t AXLE_KIND_5_BYTE = 16;
constexpr std::uint8_t AXLE_KIND_7_BYTE = 15;
constexpr std::uint16_t LEGACY_ALARM_LIMIT = 40;

// All-in-One Data Packets: current and legacy format.
bool AssembleAllInOne(TrainRecord& record, const std::uint8_t* stream, std::size_t available);
// A completed multi-packet transfer: current format only; a legacy stream
// leaves an all-zero header and all-zero slots.
bool AssembleFromBlocks(TrainRecord& record, const std::uint8_t* stream, std::size_t available);

// A journaled train, assembled as it was when it arrived (by its delivery).
bool AssembleJournalTrain(TrainRecord& record, const JournalTrain& train);

// The alarms the site announced in a stream (see SiteAlarmEntry): the
// current format's alarm entries, all of them as received; a legacy
// stream's non-zero alarm codes (of its 5-byte axle records, or its alarm
// entries, at most LEGACY_ALARM_LIMIT, as the assembly applies them). Reads
// stay within `available` bytes; entries the stream was too short for are
// left out. `blocks`: the stream came in blocks (a legacy one is not read).
std::vector<SiteAlarmEntry> ReadSiteAlarmEntries(const std::uint8_t* stream, std::size_t available,
                                                 bool blocks = false);

// The dark-red log line written when an assembly returned false.
void LogShortTrainStream(IOutput& out, std::uint8_t siteId, std::size_t available);
// After an assembly: when the header counts more axles than the stream
// carried axle records for (at most 1200), one dark-red line saying so; the
// report prints those axles with zero readings. Otherwise nothing.
void LogUncarriedAxles(IOutput& out, std::uint8_t siteId, const TrainRecord& record);
