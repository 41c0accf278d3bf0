#pragma once
// What happens in the collection engine, as events for whoever watches it
// (the console's views, the headless collector's tables, the train history).
//
// The places that see an event happen publish it on the IOutput they were
// handed (common/Output.h); the collector hands it to its event hub, which
// copies it into each subscriber's bounded queue and returns, never waiting
// on a subscriber. The serial scope is not fed from here: its texts stay as
// they are.
#include <cstdint>
#include <string>

enum class EventKind : std::uint8_t {
    PowerupRegistered,  // siteId, track
    TrainReported,      // siteId, track, stamps, trainNumber, axles, cars, reportPath
    ReportFailed,       // siteId, reportPath: the report could not be written
    TransferComplete,   // siteId, count = blocks
    TransferRetried,    // siteId, count = blocks asked for again ("Substitude")
    TransferGivenUp,    // siteId
    ShortStream,        // siteId, count = bytes received
    OverAnnounced,      // siteId, count = blocks asked for, or the bad block number
    FrameError,         // siteId when known (0 = unknown), frameError, count
    PortLost,           // text = device
    PortBack,           // text = device
    EchoSent,           // siteId, count = length
    OperatorMessage,    // text: to be shown to the operator and acknowledged
    TrainsHeld,         // count = reports held in memory (0: all written), text = why the folder refuses
    HistoryFileChanged, // the history file was deleted, or another file was put in its place
};

enum class FrameErrorKind : std::uint8_t { None, BadChecksum, TooLong, Gap };

struct EngineEvent {
    EventKind kind = EventKind::PowerupRegistered;
    std::int64_t time = 0;       // wall clock, seconds since 1970 (UTC), set by PublishEvent
    std::uint8_t siteId = 0;     // radio identifier; 0 = not known
    std::uint8_t track = 0;
    FrameErrorKind frameError = FrameErrorKind::None;
    std::int32_t count = 0;
    std::uint16_t trainNumber = 0;
    std::uint16_t axles = 0;
    std::uint16_t cars = 0;
    std::uint8_t firstStamp[6] = {};   // year - 2000, month, day, hour, minute, second
    std::uint8_t secondStamp[6] = {};
    std::string reportPath;      // TrainReported, ReportFailed
    std::string journalFile;     // TrainReported: the train's journal record ("" when none)
    std::uint64_t journalOffset = 0;
    std::string text;            // PortLost, PortBack: the device; OperatorMessage: the text;
                                 // TrainsHeld: the reason
};

class IOutput;
// Shorthand for an event that names only a site and a count.
void PublishSiteEvent(IOutput& out, EventKind kind, std::uint8_t siteId, std::int32_t count = 0);
