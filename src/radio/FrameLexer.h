#pragma once
// The frame lexer: received bytes, each with the tick it was read at, in;
// frames out. It synchronises on 55 AA, ends a frame by its length field
// (an end byte counts only at that position), drops a frame whose bytes are
// more than the allowed gap apart or that grows past the largest frame held,
// and checks the checksum. It reads no port and no process-wide value, and
// logs nothing: the caller hears of every drop through the event returned.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "radio/Frame.h"

constexpr std::uint32_t RECEIVER_MAX_GAP_MS = 3000;

class FrameLexer {
public:
    enum class Event : std::uint8_t {
        None,         // byte taken, no frame yet
        Frame,        // a whole frame with a good checksum is held
        Gap,          // the gap before this byte was too long: the frame was dropped (Gap())
        TooLong,      // the frame grew past the largest held: dropped with the byte (Dropped())
        BadChecksum,  // a whole frame failed its checksum: dropped (Dropped(), Stored(), Computed())
    };

    FrameLexer() : FrameLexer(FRAME_MAX_HELD) {}
    explicit FrameLexer(std::size_t maxHeld, std::uint32_t maxGapMs = RECEIVER_MAX_GAP_MS);

    // One byte, read at tick `now`.
    Event Feed(std::uint8_t byte, std::uint32_t now);
    // Bytes read together at tick `now`, up to and including the first one
    // that gives an event other than None (stored in *event); returns how
    // many were taken. Same frames and events as feeding them one by one.
    std::size_t Feed(const std::uint8_t* bytes, std::size_t count, std::uint32_t now,
                     Event* event);
    // How many more bytes the frame held needs by its length field, when that
    // field can be trusted to end it within the largest frame; 0 when the
    // frame must go on byte by byte. Those bytes can neither start nor end
    // anything but the frame, so a reader may take them in one block.
    std::size_t Expected() const;

    // True when rxCount is at least 12 and equals the frame's length field.
    bool IsFrameComplete() const;
    // Idle at tick `now`; rxBuffer keeps its bytes (byte 0 may still be a
    // start byte that a following AA completes).
    void Reset(std::uint32_t now);

    std::uint32_t Gap() const { return gap_; }
    std::int32_t Dropped() const { return dropped_; }
    std::uint16_t Stored() const { return stored_; }
    std::uint16_t Computed() const { return computed_; }

    // The receive state.
    std::uint8_t inPacket = 0;        // 1 once 55 AA has been seen
    std::uint32_t lastByteTick = 0;   // tick of the last byte or reset
    std::vector<std::uint8_t> rxBuffer;  // the frame from its first start byte
    std::int32_t rxCount = 0;         // bytes held in rxBuffer

private:
    Event Check(std::uint32_t now);

    std::size_t maxHeld_;
    std::uint32_t maxGapMs_;
    std::uint32_t gap_ = 0;
    std::int32_t dropped_ = 0;
    std::uint16_t stored_ = 0;
    std::uint16_t computed_ = 0;
};
