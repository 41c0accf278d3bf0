#pragma once
// Everything one collection exchange needs, owned by the worker thread for
// its whole life: the frame being received and its decoded header, the frame
// being sent, the block buffer and block map of a transfer, and the train.
#include <cstddef>
#include <cstdint>

#include "common/TrainRecord.h"
#include "radio/Frame.h"
#include "radio/FrameLexer.h"

constexpr std::size_t BLOCK_BUFFER_SIZE = 9216;
constexpr std::size_t PACKET_TYPE_NAME_SIZE = 260;
// The largest frame the collector builds is the echo of 1000: 14 + 6 x 1001.
constexpr std::size_t TX_BUFFER_SIZE = 14 + 6 * 1001;
constexpr std::size_t BLOCK_MAP_SIZE = 21;
constexpr std::uint8_t MAX_REQUESTED_BLOCKS = 20;

struct CollectorContext {
    std::uint8_t blockBuffer[BLOCK_BUFFER_SIZE];
    char packetTypeName[PACKET_TYPE_NAME_SIZE];
    // The receiver: inPacket, lastByteTick, rxBuffer (2048 bytes), rxCount.
    FrameLexer rx;
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
inline const std::uint8_t* RxPayload(const CollectorContext& ctx) { return ctx.rx.rxBuffer.data() + 8; }
inline std::size_t RxPayloadLength(const CollectorContext& ctx) {
    // The frame in rxBuffer is complete, so its length field equals rxCount;
    // take the smaller anyway so a payload never reaches past what arrived.
    std::int32_t frame = ctx.frameLength < ctx.rx.rxCount ? ctx.frameLength : ctx.rx.rxCount;
    if (frame < static_cast<std::int32_t>(FRAME_OVERHEAD)) return 0;
    return static_cast<std::size_t>(frame) - FRAME_OVERHEAD;
}
