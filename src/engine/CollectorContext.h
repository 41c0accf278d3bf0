#pragma once
// Everything one collection exchange needs, owned by the worker thread for
// its whole life: the frame being received and its decoded header, the frame
// being sent, the block buffer and block map of a transfer, and the train.
#include <cstddef>
#include <cstdint>

#include "engine/TrainRecord.h"

constexpr std::size_t BLOCK_BUFFER_SIZE = 9216;
constexpr std::size_t PACKET_TYPE_NAME_SIZE = 260;
constexpr std::size_t RX_BUFFER_SIZE = 2048;
// The largest frame the collector builds is the echo of 1000: 14 + 6 x 1001.
constexpr std::size_t TX_BUFFER_SIZE = 14 + 6 * 1001;
constexpr std::size_t BLOCK_MAP_SIZE = 21;
constexpr std::uint8_t MAX_REQUESTED_BLOCKS = 20;

struct CollectorContext {
    std::uint8_t blockBuffer[BLOCK_BUFFER_SIZE];
    char packetTypeName[PACKET_TYPE_NAME_SIZE];
    std::uint8_t inPacket;
    std::uint32_t lastByteTick;
    std::uint8_t rxBuffer[RX_BUFFER_SIZE];
    std::int32_t rxCount;
    std::uint8_t txBuffer[TX_BUFFER_SIZE];
    std::int32_t txLength;
    std::uint8_t blockMap[BLOCK_MAP_SIZE];
    TrainRecord trainRecord;
    std::uint8_t transferSiteId;
    std::uint8_t sourceId;
    std::uint8_t destinationId;
    std::uint8_t packetType;
    std::uint8_t sequenceNumber;
    std::int32_t frameLength;
    std::uint8_t addressedToUs;
    std::uint8_t requestedBlockCount;
    std::uint32_t requestedBlockSize;
    // Bytes of blockBuffer written by the running transfer (the highest
    // offset + length stored), so assembly never reads what did not arrive.
    std::uint32_t blockBytesStored;
};

// The payload of the frame in rxBuffer and its length (frame length - 11,
// never negative, never past the bytes received).
inline const std::uint8_t* RxPayload(const CollectorContext& ctx) { return ctx.rxBuffer + 8; }
std::size_t RxPayloadLength(const CollectorContext& ctx);
