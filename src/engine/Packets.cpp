#include "engine/Packets.h"

#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/Events.h"
#include "common/LogLine.h"
#include "engine/Assembly.h"
#include "engine/Collector.h"
#include "engine/HeldTrains.h"
#include "radio/Commands.h"
#include "radio/Frame.h"
#include "platform/Paths.h"
#include "radio/Link.h"
#include "records/Callers.h"
#include "records/EventJournal.h"
#include "records/Journal.h"
#include "records/TrainReport.h"

namespace {

constexpr std::size_t ALL_IN_ONE_STREAM_OFFSET = 17;  // payload bytes 0..16 are not read

struct SharedPacket {
    std::uint8_t type;
    void (*handle)(Collector&);
};

constexpr SharedPacket kSharedPackets[] = {
    {PT_ALL_IN_ONE, &HandleAllInOne},
    {PT_POWERUP, &RegisterPowerup},
};

// Registers the site of the Powerup in rxBuffer, saves, logs, acknowledges.
void HandlePowerup(Collector& c) {
    RadioLink& link = c.Link();
    const std::uint8_t id = link.header.sourceId;

    // A Powerup carries 17 payload bytes. Bytes that did not arrive read as
    // 0 (never the checksum, end byte or stale bytes behind the frame); the
    // site is still registered and acknowledged, and the operator is told.
    std::uint8_t payload[POWERUP_PAYLOAD_SIZE] = {};
    const std::size_t received = RxPayloadLength(link);
    std::memcpy(payload, RxPayload(link), received < sizeof payload ? received : sizeof payload);
    if (received < sizeof payload) {
        LogLine(c, COLOUR_DARK_RED,
                "ERROR: Powerup from SiteID = %d is short (%d of 17 bytes), missing bytes read as 0\n",
                static_cast<int>(id), static_cast<int>(received));
    }

    CallerEntry filled{};
    if (!c.Callers().Register(id, payload, &filled, c)) {
        // Told, not waited for: the site hears its ACK at once.
        TellOperator(c, "ERROR - NOT ENOUGH SPACE FOR CALLERS");
        SendAck(link, id, 0);
        return;
    }
    const std::string typeName = SiteTypeName(filled.siteType);
    LogLine(c, COLOUR_DARK_GREEN, "Received Powerup from %s, SiteID = %d, Milepost = %d.%d\n",
            typeName.c_str(), static_cast<int>(filled.siteNumber),
            static_cast<int>(filled.milepost / 10), static_cast<int>(filled.milepost % 10));
    SendAck(link, id, 0);
}

}  // namespace

bool HandleSharedPacket(Collector& c) {
    for (const SharedPacket& packet : kSharedPackets) {
        if (packet.type == c.Link().header.packetType) {
            packet.handle(c);
            return true;
        }
    }
    return false;
}

void HandleAllInOne(Collector& c) {
    RadioLink& link = c.Link();
    TrainRecord& record = c.Transfer().trainRecord;
    const std::uint8_t site = link.header.sourceId;
    const std::size_t payload = RxPayloadLength(link);
    const std::size_t available =
        payload > ALL_IN_ONE_STREAM_OFFSET ? payload - ALL_IN_ONE_STREAM_OFFSET : 0;
    // On the disk before the site is told it arrived.
    JournalTrainData(c, TrainDelivery::AllInOne, site, link.header.sequenceNumber, 0,
                     RxPayload(link) + ALL_IN_ONE_STREAM_OFFSET, available);
    SendAck(link, site, link.header.sequenceNumber);
    if (!AssembleAllInOne(record, RxPayload(link) + ALL_IN_ONE_STREAM_OFFSET, available))
        LogShortTrainStream(c, site, available);  // the train is still reported
    LogUncarriedAxles(c, site, record);
    ReportTrain(c, site);
}

namespace {

// The event of a train's report, before its kind and path are known.
EngineEvent TrainEvent(const TrainRecord& record, std::uint8_t siteId) {
    const std::uint8_t* h = record.header;
    EngineEvent event;
    event.siteId = siteId;
    event.track = h[27];
    event.trainNumber = ReadLe16(h + 5);
    event.axles = ReadLe16(h + 33);
    std::memcpy(event.firstStamp, h + 15, 6);
    std::memcpy(event.secondStamp, h + 21, 6);
    const std::size_t axles = event.axles < MAX_AXLES ? event.axles : MAX_AXLES;
    for (std::size_t i = 0; i < axles; ++i)
        if (record.axleSlots[i].bytes[5] & 0x80) ++event.cars;
    return event;
}

}  // namespace

void JournalTrainData(Collector& c, TrainDelivery delivery, std::uint8_t siteId, std::uint8_t trackOrSequence,
                      std::uint8_t blockCount, const std::uint8_t* stream, std::size_t size) {
    JournalTrain train;
    train.receivedAt = static_cast<std::int64_t>(c.Clock().Now());
    train.radioId = siteId;
    train.trackOrSequence = trackOrSequence;
    train.delivery = delivery;
    train.blockCount = blockCount;
    train.stream.assign(stream, stream + size);
    c.Journal().Append(train, c);  // a failure is told, and the train goes on
}

int RestoreJournaledTrains(Collector& c) {
    const std::vector<JournalTrain> trains = c.Journal().OpenAtStart(c);
    OpenEventJournalAtStart(c.DataFolder(), c.Clock().Now(), c);
    auto record = std::make_unique<TrainRecord>();
    int restored = 0;
    for (const JournalTrain& train : trains) {
        AssembleJournalTrain(*record, train);
        const JournalRef ref{train.file, train.offset};
        const std::string path = TrainReportPath(c.DataFolder(), record->header);
        std::string found;
        if (TrainReportInPlace(path, FormatTrainReport(record->header, record->axleSlots), &found)) {
            c.Journal().MarkWritten(ref, FileNameOf(found));
            continue;
        }
        EngineEvent event = TrainEvent(*record, train.radioId);
        if (!WriteTrainReport(c.DataFolder(), record->header, record->axleSlots, c, &event.reportPath))
            continue;  // told by the writer; the journal keeps it for the next start
        c.Journal().MarkWritten(ref, FileNameOf(event.reportPath));
        event.journalFile = ref.file;
        event.journalOffset = ref.offset;
        LogLine(c, COLOUR_DARK_GREEN, "Train report %s restored from the journal\n", event.reportPath.c_str());
        event.kind = EventKind::TrainReported;
        event.time = train.receivedAt;
        c.Publish(std::move(event));
        ++restored;
    }
    return restored;
}

void ReportTrain(Collector& c, std::uint8_t siteId) {
    const TrainRecord& record = c.Transfer().trainRecord;
    const std::uint8_t* h = record.header;
    EngineEvent event = TrainEvent(record, siteId);

    // Held trains go first while the folder takes them; the train's own
    // report is tried either way, so one report the folder cannot take (too
    // big for what is left) does not keep the others out.
    if (!c.Held().Empty()) WriteHeldTrains(c);
    std::string why;
    const bool written = WriteTrainReport(c.DataFolder(), h, record.axleSlots, c, &event.reportPath, &why);
    event.kind = written ? EventKind::TrainReported : EventKind::ReportFailed;
    const JournalRef journaled = c.Journal().LastAppended();
    if (written) {
        c.Journal().MarkLastWritten(FileNameOf(event.reportPath));
        event.journalFile = journaled.file;
        event.journalOffset = journaled.offset;
        c.Publish(std::move(event));
        return;
    }
    c.Publish(event);
    // Acknowledged already: kept until the folder takes it, never dropped.
    HeldTrain held;
    held.path = TrainReportPath(c.DataFolder(), h);
    held.bytes = FormatTrainReport(h, record.axleSlots);
    held.event = std::move(event);
    held.journal = journaled;
    held.event.time = static_cast<std::int64_t>(std::time(nullptr));  // when the train came
    HoldTrain(c, std::move(held), why);
}

void RegisterPowerup(Collector& c) {
    HandlePowerup(c);
    RadioLink& link = c.Link();
    // Payload byte 5 is the track; a short Powerup reads it as 0.
    const std::uint8_t track = RxPayloadLength(link) > 5 ? RxPayload(link)[5] : 0;
    EngineEvent event;
    event.kind = EventKind::PowerupRegistered;
    event.siteId = link.header.sourceId;
    event.track = track;
    c.Publish(std::move(event));
}
