#pragma once
// The assembled train: the 12-byte prefix of the train data stream, the
// 112-byte train header in the current layout, and one 7-byte slot per axle.
// The byte layouts are drawn in docs/records.md.
#include <cstddef>
#include <cstdint>

#include "common/Bytes.h"

constexpr std::size_t TRAIN_PREFIX_SIZE = 12;
constexpr std::size_t TRAIN_HEADER_SIZE = 112;
constexpr std::size_t MAX_AXLES = 1200;
constexpr std::size_t AXLE_SLOT_SIZE = 7;

// Prefix bytes the assembly reads (the rest are not interpreted).
namespace tp {
constexpr std::size_t FORMAT_VERSION = 0;     // u8: 2 = current format
constexpr std::size_t HEADER_LENGTH = 1;      // u8: header bytes after the prefix
constexpr std::size_t AXLE_RECORD_KIND = 2;   // u8: 16 = 5-byte, 15 = 7-byte records
constexpr std::size_t AXLE_RECORD_COUNT = 4;  // u16
constexpr std::size_t ALARM_COUNT = 7;        // u16
}  // namespace tp

// The 112-byte train header: byte offsets of its fields, multi-byte fields
// little-endian. Fields whose meaning the collector does not know are named
// after the record that prints them (or their offset when nothing does).
namespace th {
constexpr std::size_t FLAGS = 1;          // u8: bit 0 HWD records, bit 1 "E" (else "A") in DEM
constexpr std::size_t SITE_NUMBER = 2;    // u16
constexpr std::size_t BYTE_4 = 4;         // u8, not reported
constexpr std::size_t TRAIN_NUMBER = 5;   // u16: file name and DEM
constexpr std::size_t BYTE_7 = 7;         // u8, not reported
constexpr std::size_t DIRECTION = 8;      // character ('?' in DEM when 0)
constexpr std::size_t TRAIN_KIND = 9;     // character
constexpr std::size_t BYTE_10 = 10;       // u8, not reported
constexpr std::size_t SPEED = 11;         // u16
constexpr std::size_t WORD_13 = 13;       // u16, not reported
constexpr std::size_t FIRST_STAMP = 15;   // 6 x u8: year - 2000, month, day, hour, minute, second
constexpr std::size_t SECOND_STAMP = 21;  // 6 x u8, the same layout
constexpr std::size_t STAMP_SIZE = 6;
constexpr std::size_t TRACK = 27;         // u8
constexpr std::size_t AMBIENT = 28;       // u8
constexpr std::size_t SIDE = 29;          // character
constexpr std::size_t BYTE_30 = 30;       // u8, not reported
constexpr std::size_t TRAIN_LENGTH = 31;  // u16 (HBI)
constexpr std::size_t AXLE_COUNT = 33;    // u16: axles reported
constexpr std::size_t CAR_COUNT = 35;     // u16 (DEM)
constexpr std::size_t DEM_WORD_37 = 37;   // u16
constexpr std::size_t ECR = 39;           // i16; FFFF = no value
constexpr std::size_t HBI_WORDS_41 = 41;  // 3 x u16 at 41, 43, 45
constexpr std::size_t HBI_BYTE_47 = 47;   // u8
constexpr std::size_t SIM_CODES_1 = 48;   // 6 x u8 system message codes (group 10), 0 = none
constexpr std::size_t HBI_BYTE_54 = 54;   // u8
constexpr std::size_t SIM_CODES_2 = 55;   // 6 x u8 system message codes (group 40)
constexpr std::size_t SIM_CODES_PER_GROUP = 6;
constexpr std::size_t HBI_WORDS_61 = 61;  // 2 x u16 at 61, 63
constexpr std::size_t HBI_BYTES_69 = 69;  // 3 x u8 at 69, 70, 71
constexpr std::size_t DEM_BYTE_72 = 72;   // u8
constexpr std::size_t HBI_BYTES_74 = 74;  // 3 x u8 at 74, 75, 76
constexpr std::size_t HBI_WORDS_77 = 77;  // 6 x u16 at 77 .. 87
constexpr std::size_t LEGACY_BYTES_89 = 89;  // 4 x u8, filled from a legacy header only
}  // namespace th

struct AxleSlot {
    std::uint8_t bytes[AXLE_SLOT_SIZE];
};
static_assert(sizeof(AxleSlot) == 7);

struct TrainRecord {
    std::uint8_t prefix[TRAIN_PREFIX_SIZE];
    std::uint8_t header[TRAIN_HEADER_SIZE];
    AxleSlot axleSlots[MAX_AXLES];

    std::uint8_t formatVersion() const { return prefix[tp::FORMAT_VERSION]; }
    std::uint8_t headerLength() const { return prefix[tp::HEADER_LENGTH]; }
    std::uint8_t axleRecordKind() const { return prefix[tp::AXLE_RECORD_KIND]; }
    std::uint16_t axleRecordCount() const { return ReadLe16(prefix + tp::AXLE_RECORD_COUNT); }
    std::uint16_t alarmCount() const { return ReadLe16(prefix + tp::ALARM_COUNT); }
    void setAlarmCount(std::uint16_t n) { WriteLe16(prefix + tp::ALARM_COUNT, n); }
};
static_assert(sizeof(TrainRecord) == 12 + 112 + 1200 * 7);

// An alarm the site itself announced in its train data stream: an alarm
// entry of the current format (the axle number and its 16 alarm bits, as
// received), or a legacy alarm code (bit 6 left, bit 7 right) of an axle
// record or a legacy alarm entry. The report file does not print them.
struct SiteAlarmEntry {
    std::uint16_t axle = 0;   // as the site numbered it (legacy: from 1)
    std::uint16_t bits = 0;   // current format: the alarm bits; legacy: the code
    bool legacy = false;

    bool operator==(const SiteAlarmEntry&) const = default;
};
