#include "engine/Assembly.h"

#include <cstring>
#include <memory>

#include "common/Events.h"
#include "common/LogLine.h"

namespace {

// Reads stream bytes by index; an index at or past `available` reads 0.
class StreamReader {
public:
    StreamReader(const std::uint8_t* stream, std::size_t available)
        : stream_(stream), available_(stream == nullptr ? 0 : available) {}
    std::uint8_t At(std::size_t i) const { return i < available_ ? stream_[i] : 0; }
    std::uint16_t Le16(std::size_t i) const {
        const std::uint8_t bytes[2] = {At(i), At(i + 1)};
        return ReadLe16(bytes);
    }
    // Copies count bytes from i, zero-filling what lies past the end.
    void Copy(std::uint8_t* out, std::size_t i, std::size_t count) const {
        std::size_t have = i < available_ ? available_ - i : 0;
        if (have > count) have = count;
        if (have > 0) std::memcpy(out, stream_ + i, have);
        std::memset(out + have, 0, count - have);
    }
    std::size_t Available() const { return available_; }

private:
    const std::uint8_t* stream_;
    std::size_t available_;
};

constexpr std::size_t LEGACY_ALARM_ENTRY_SIZE = 3;

void ApplyLegacyAlarmCode(AxleSlot& slot, std::uint8_t code) {
    if (code & 0x40) slot.bytes[0] = 0xFF;
    if (code & 0x80) slot.bytes[1] = 0xFF;
}

// The first 12 stream bytes as received; the header and every axle slot
// start out all zero, so nothing of an earlier train can be reported as
// this one's (axles the header counts but the stream did not carry read 0).
void CopyPrefix(TrainRecord& record, const StreamReader& in) {
    in.Copy(record.prefix, 0, TRAIN_PREFIX_SIZE);
    std::memset(record.header, 0, TRAIN_HEADER_SIZE);
    std::memset(record.axleSlots, 0, sizeof record.axleSlots);
}

std::size_t AxleRecordsToRead(const TrainRecord& record) {
    std::size_t n = record.axleRecordCount();
    return n > MAX_AXLES ? MAX_AXLES : n;
}

// Current format: header taken over, then the axle records. Returns the
// offset just past the last byte read.
std::size_t AssembleCurrent(TrainRecord& record, const StreamReader& in) {
    const std::size_t headerLength = record.headerLength();
    in.Copy(record.header, TRAIN_PREFIX_SIZE,
            headerLength < TRAIN_HEADER_SIZE ? headerLength : TRAIN_HEADER_SIZE);

    std::size_t at = TRAIN_PREFIX_SIZE + headerLength;
    const std::size_t n = AxleRecordsToRead(record);
    if (record.axleRecordKind() == AXLE_KIND_7_BYTE) {
        for (std::size_t i = 0; i < n; ++i, at += 7) in.Copy(record.axleSlots[i].bytes, at, 7);
    } else if (record.axleRecordKind() == AXLE_KIND_5_BYTE) {
        for (std::size_t i = 0; i < n; ++i, at += 5) {
            std::uint8_t* slot = record.axleSlots[i].bytes;
            slot[0] = in.At(at + 0);
            slot[1] = in.At(at + 1);
            slot[4] = in.At(at + 2);
            slot[5] = in.At(at + 3);
            slot[6] = in.At(at + 4);
        }
    }
    // The current format's alarm entries change nothing and are not read.
    return at;
}

// A legacy header with any of its bytes 39 to 42 set: the axle records are
// 5 bytes long, with an alarm code each.
bool LegacyRecordsCarryCodes(const StreamReader& in) {
    std::uint8_t any = 0;
    for (std::size_t i = 39; i <= 42; ++i) any |= in.At(TRAIN_PREFIX_SIZE + i);
    return any != 0;
}

void TranslateLegacyHeader(std::uint8_t* h, const StreamReader& in) {
    using namespace th;
    const std::size_t base = TRAIN_PREFIX_SIZE;
    auto b = [&](std::size_t i) { return in.At(base + i); };
    auto copy16 = [&](std::size_t at, std::size_t from) { WriteLe16(h + at, in.Le16(base + from)); };

    h[FLAGS] = LegacyRecordsCarryCodes(in) ? 1 : 0;
    copy16(SITE_NUMBER, 1);
    h[BYTE_4] = b(55);
    copy16(TRAIN_NUMBER, 53);
    h[BYTE_7] = b(56);
    h[DIRECTION] = b(57);
    h[TRAIN_KIND] = b(58);
    h[BYTE_10] = b(59);
    WriteLe16(h + SPEED, b(3));
    copy16(WORD_13, 4);
    // Years counted from 1900 become years counted from 2000 (modulo 256);
    // the legacy stamps have no seconds.
    h[FIRST_STAMP] = static_cast<std::uint8_t>(b(6) - 100);
    for (std::size_t i = 0; i < 4; ++i) h[FIRST_STAMP + 1 + i] = b(7 + i);
    h[FIRST_STAMP + 5] = 0;
    h[SECOND_STAMP] = static_cast<std::uint8_t>(b(11) - 100);
    for (std::size_t i = 0; i < 4; ++i) h[SECOND_STAMP + 1 + i] = b(12 + i);
    h[SECOND_STAMP + 5] = 0;
    h[TRACK] = b(16);
    h[AMBIENT] = b(16);
    h[SIDE] = b(31);
    h[BYTE_30] = b(30);
    copy16(TRAIN_LENGTH, 24);
    copy16(AXLE_COUNT, 22);
    copy16(ECR, 26);
    copy16(HBI_WORDS_41, 28);
    copy16(HBI_WORDS_41 + 2, 32);
    copy16(HBI_WORDS_41 + 4, 34);
    for (std::size_t i = 0; i < 5; ++i) h[HBI_BYTE_47 + i] = b(17 + i);  // 47 and four codes
    copy16(HBI_WORDS_61, 22);
    WriteLe16(h + HBI_WORDS_61 + 2, 0);
    h[DEM_BYTE_72] = b(16);
    for (std::size_t i = 0; i < 3; ++i) h[HBI_BYTES_74 + i] = b(36 + i);
    for (std::size_t i = 0; i < 4; ++i) {
        const std::uint16_t v = in.Le16(base + 45 + 2 * i);
        h[LEGACY_BYTES_89 + i] = static_cast<std::uint8_t>(v > 255 ? 255 : v);
    }
}

// Legacy format: translated header, 4- or 5-byte axle records, alarm
// entries after 4-byte records. Returns the offset just past the last byte read.
std::size_t AssembleLegacy(TrainRecord& record, const StreamReader& in) {
    TranslateLegacyHeader(record.header, in);

    std::size_t at = TRAIN_PREFIX_SIZE + record.headerLength();
    const std::size_t n = AxleRecordsToRead(record);
    const bool withAlarmCode = (record.header[th::FLAGS] & 0x01) != 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t* slot = record.axleSlots[i].bytes;
        slot[0] = in.At(at + 0);
        slot[1] = in.At(at + 1);
        slot[4] = in.At(at + 2);
        slot[6] = in.At(at + 3);
        if (withAlarmCode) {
            ApplyLegacyAlarmCode(record.axleSlots[i], in.At(at + 4));
            at += 5;
        } else {
            at += 4;
        }
    }
    if (withAlarmCode) return at;

    std::uint16_t alarms = record.alarmCount();
    if (alarms == 0) return at;
    if (alarms > LEGACY_ALARM_LIMIT) {
        alarms = LEGACY_ALARM_LIMIT;
        record.setAlarmCount(alarms);
    }
    for (std::size_t k = 0; k < alarms; ++k, at += LEGACY_ALARM_ENTRY_SIZE) {
        // Legacy axle numbers count from 1; only 1 to 1199 name a slot.
        const std::uint16_t axle = in.Le16(at);
        if (axle >= 1 && axle < MAX_AXLES) ApplyLegacyAlarmCode(record.axleSlots[axle - 1], in.At(at + 2));
    }
    return at;
}

}  // namespace

bool AssembleAllInOne(TrainRecord& record, const std::uint8_t* stream, std::size_t available) {
    const StreamReader in(stream, available);
    CopyPrefix(record, in);
    const std::size_t end = record.formatVersion() == CURRENT_STREAM_FORMAT
                                ? AssembleCurrent(record, in)
                                : AssembleLegacy(record, in);
    return end <= in.Available();
}

bool AssembleFromBlocks(TrainRecord& record, const std::uint8_t* stream, std::size_t available) {
    const StreamReader in(stream, available);
    CopyPrefix(record, in);
    if (record.formatVersion() != CURRENT_STREAM_FORMAT) return TRAIN_PREFIX_SIZE <= in.Available();
    return AssembleCurrent(record, in) <= in.Available();
}

bool AssembleJournalTrain(TrainRecord& record, const JournalTrain& train) {
    return train.delivery == TrainDelivery::Blocks
               ? AssembleFromBlocks(record, train.stream.data(), train.stream.size())
               : AssembleAllInOne(record, train.stream.data(), train.stream.size());
}

std::vector<SiteAlarmEntry> ReadSiteAlarmEntries(const std::uint8_t* stream, std::size_t available,
                                                 bool blocks) {
    std::vector<SiteAlarmEntry> entries;
    const StreamReader in(stream, available);
    auto record = std::make_unique<TrainRecord>();
    CopyPrefix(*record, in);
    const bool current = record->formatVersion() == CURRENT_STREAM_FORMAT;
    if (blocks && !current) return entries;
    const std::size_t end = current ? AssembleCurrent(*record, in) : TRAIN_PREFIX_SIZE + record->headerLength();
    if (current) {
        const std::size_t count = record->alarmCount();
        for (std::size_t k = 0, at = end; k < count && at + 4 <= in.Available(); ++k, at += 4)
            entries.push_back(SiteAlarmEntry{in.Le16(at), in.Le16(at + 2), false});
        return entries;
    }
    // Legacy: the codes of 5-byte axle records, or the alarm entries after
    // 4-byte ones, read as the assembly applies them.
    const std::size_t n = AxleRecordsToRead(*record);
    if (LegacyRecordsCarryCodes(in)) {
        for (std::size_t i = 0, at = end; i < n && at + 5 <= in.Available(); ++i, at += 5)
            if (in.At(at + 4) != 0)
                entries.push_back(SiteAlarmEntry{static_cast<std::uint16_t>(i + 1), in.At(at + 4), true});
        return entries;
    }
    std::size_t count = record->alarmCount();
    if (count > LEGACY_ALARM_LIMIT) count = LEGACY_ALARM_LIMIT;
    for (std::size_t k = 0, at = end + 4 * n; k < count && at + 3 <= in.Available(); ++k, at += 3)
        if (in.At(at + 2) != 0) entries.push_back(SiteAlarmEntry{in.Le16(at), in.At(at + 2), true});
    return entries;
}

void LogShortTrainStream(IOutput& out, std::uint8_t siteId, std::size_t available) {
    LogLine(out, COLOUR_DARK_RED,
            "ERROR: Train data from SiteID = %d is short (%u bytes received), missing bytes read as 0\n",
            static_cast<int>(siteId), static_cast<unsigned>(available));
    PublishSiteEvent(out, EventKind::ShortStream, siteId, static_cast<std::int32_t>(available));
}

void LogUncarriedAxles(IOutput& out, std::uint8_t siteId, const TrainRecord& record) {
    const unsigned announced = ReadLe16(record.header + th::AXLE_COUNT);
    const unsigned carried = static_cast<unsigned>(AxleRecordsToRead(record));
    if (announced <= carried) return;
    LogLine(out, COLOUR_DARK_RED,
            "ERROR: Train data from SiteID = %d announces %u axles but carries %u axle records; "
            "the others are reported as 0\n",
            static_cast<int>(siteId), announced, carried);
}
