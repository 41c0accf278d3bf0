#include "radio/FrameLexer.h"

#include <cstring>

FrameLexer::FrameLexer(std::size_t maxHeld, std::uint32_t maxGapMs)
    : rxBuffer(maxHeld + 2, 0), maxHeld_(maxHeld), maxGapMs_(maxGapMs) {}

bool FrameLexer::IsFrameComplete() const {
    if (rxCount < static_cast<std::int32_t>(FRAME_MIN_ACCEPTED)) return false;
    return rxCount == ReadLe16(rxBuffer.data() + 5);
}

void FrameLexer::Reset(std::uint32_t now) {
    rxCount = 0;
    inPacket = 0;
    lastByteTick = now;
}

std::size_t FrameLexer::Expected() const {
    if (inPacket == 0 || rxCount < 7) return 0;
    const std::uint16_t length = ReadLe16(rxBuffer.data() + 5);
    if (length < FRAME_MIN_ACCEPTED || length > maxHeld_) return 0;
    if (length <= rxCount) return 0;
    return static_cast<std::size_t>(length - rxCount);
}

FrameLexer::Event FrameLexer::Check(std::uint32_t now) {
    computed_ = ComputeChecksum(rxBuffer.data(), static_cast<std::uint16_t>(rxCount - 3));
    stored_ = ReadLe16(rxBuffer.data() + rxCount - 3);
#if defined(KESTOVA_ACCEPT_ANY_CHECKSUM)
    const bool good = true;
#else
    const bool good = stored_ == computed_;
#endif
    if (good) return Event::Frame;
    dropped_ = rxCount;
    Reset(now);
    return Event::BadChecksum;
}

FrameLexer::Event FrameLexer::Feed(std::uint8_t byte, std::uint32_t now) {
    std::uint32_t gap = 0;
    if (inPacket == 1) gap = now - lastByteTick;
    lastByteTick = now;

    if (inPacket == 1 && gap > maxGapMs_) {
        gap_ = gap;
        Reset(now);
        // The byte that ended the gap becomes byte 0 while the lexer is idle,
        // so a following AA starts a new frame if it was 55.
        rxBuffer[0] = byte;
        rxCount = 1;
        return Event::Gap;
    }

    if (inPacket == 0) {
        if (byte == FRAME_START_1) {
            rxBuffer[0] = byte;
            rxCount = 1;
        } else if (byte == FRAME_START_2) {
            if (rxBuffer[0] == FRAME_START_1) {
                inPacket = 1;
                rxBuffer[1] = byte;
                rxCount = 2;
            }
        } else {
            Reset(now);
        }
        return Event::None;
    }

    if (rxCount >= static_cast<std::int32_t>(maxHeld_)) {
        dropped_ = rxCount;
        Reset(now);
        return Event::TooLong;
    }
    rxBuffer[static_cast<std::size_t>(rxCount++)] = byte;
    if (byte != FRAME_END || !IsFrameComplete()) return Event::None;
    return Check(now);
}

std::size_t FrameLexer::Feed(const std::uint8_t* bytes, std::size_t count, std::uint32_t now,
                             Event* event) {
    std::size_t used = 0;
    *event = Event::None;
    while (used < count) {
        const bool inTime = now - lastByteTick <= maxGapMs_;
        if (const std::size_t rest = inTime ? Expected() : 0; rest > 0) {
            // The rest of the frame up to its length in one block; only its
            // last byte can end it.
            const std::size_t n = rest < count - used ? rest : count - used;
            std::memcpy(rxBuffer.data() + rxCount, bytes + used, n);
            rxCount += static_cast<std::int32_t>(n);
            lastByteTick = now;
            used += n;
            if (rxBuffer[static_cast<std::size_t>(rxCount) - 1] == FRAME_END && IsFrameComplete()) {
                *event = Check(now);
                return used;
            }
            continue;
        }
        *event = Feed(bytes[used++], now);
        if (*event != Event::None) return used;
    }
    return used;
}
