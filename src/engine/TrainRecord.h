#pragma once
// The assembled train: the 12-byte prefix of the train data stream, the
// 112-byte train header in the current layout, and one 7-byte slot per axle.
#include <cstddef>
#include <cstdint>

constexpr std::size_t TRAIN_PREFIX_SIZE = 12;
constexpr std::size_t TRAIN_HEADER_SIZE = 112;
constexpr std::size_t MAX_AXLES = 1200;
constexpr std::size_t AXLE_SLOT_SIZE = 7;
// Header bytes 33-34: the number of axles the report prints.
constexpr std::size_t HEADER_AXLE_COUNT = 33;

struct AxleSlot {
    std::uint8_t bytes[AXLE_SLOT_SIZE];
};
static_assert(sizeof(AxleSlot) == 7);

struct TrainRecord {
    std::uint8_t prefix[TRAIN_PREFIX_SIZE];
    std::uint8_t header[TRAIN_HEADER_SIZE];
    AxleSlot axleSlots[MAX_AXLES];

    std::uint8_t formatVersion() const { return prefix[0]; }
    std::uint8_t headerLength() const { return prefix[1]; }
    std::uint8_t axleRecordKind() const { return prefix[2]; }
    std::uint16_t axleRecordCount() const {
        return static_cast<std::uint16_t>(prefix[4] | (prefix[5] << 8));
    }
    std::uint16_t alarmCount() const {
        return static_cast<std::uint16_t>(prefix[7] | (prefix[8] << 8));
    }
    std::uint16_t headerAxleCount() const {
        return static_cast<std::uint16_t>(header[HEADER_AXLE_COUNT] | (header[HEADER_AXLE_COUNT + 1] << 8));
    }
    void setAlarmCount(std::uint16_t n) {
        prefix[7] = static_cast<std::uint8_t>(n & 0xFF);
        prefix[8] = static_cast<std::uint8_t>(n >> 8);
    }
};
static_assert(sizeof(TrainRecord) == 12 + 112 + 1200 * 7);
