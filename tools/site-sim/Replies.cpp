#include "Replies.h"

#include <cstdio>

#include "radio/Frame.h"

namespace sitesim {

namespace {
constexpr std::size_t MAX_REPLY_FRAME = 0xFFFF;
}

void FrameLexer::Feed(const std::uint8_t* bytes, std::size_t count) {
    buffer_.insert(buffer_.end(), bytes, bytes + count);
}

bool FrameLexer::Next(RxFrame& out) {
    for (;;) {
        // Find 55 AA.
        std::size_t start = 0;
        while (start < buffer_.size() &&
               !(buffer_[start] == FRAME_START_1 &&
                 (start + 1 == buffer_.size() || buffer_[start + 1] == FRAME_START_2)))
            ++start;
        if (start > 0) {
            noiseBytes += start;
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(start));
        }
        if (buffer_.size() < 7) return false;
        const std::size_t length = ReadLe16(&buffer_[5]);
        if (length < FRAME_OVERHEAD || length > MAX_REPLY_FRAME) {
            ++badFrames;
            lastProblem = "frame length field " + std::to_string(length) + " out of range";
            ++noiseBytes;
            buffer_.erase(buffer_.begin());
            continue;
        }
        if (buffer_.size() < length) return false;
        const std::uint16_t computed =
            ComputeChecksum(buffer_.data(), static_cast<std::uint16_t>(length - 3));
        const std::uint16_t stored = ReadLe16(&buffer_[length - 3]);
        if (buffer_[length - 1] != FRAME_END || computed != stored) {
            ++badFrames;
            char text[96];
            std::snprintf(text, sizeof text,
                          "bad frame of %zu bytes (checksum %04X, should be %04X, end byte %02X)",
                          length, static_cast<unsigned>(stored), static_cast<unsigned>(computed),
                          static_cast<unsigned>(buffer_[length - 1]));
            lastProblem = text;
            ++noiseBytes;
            buffer_.erase(buffer_.begin());
            continue;
        }
        out.bytes.assign(buffer_.begin(), buffer_.begin() + static_cast<long>(length));
        out.source = out.bytes[2];
        out.destination = out.bytes[3];
        out.sequence = out.bytes[4];
        out.type = out.bytes[7];
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(length));
        return true;
    }
}

void FrameLexer::DropPartial() {
    if (buffer_.empty()) return;
    ++noiseBytes;
    buffer_.erase(buffer_.begin());
}

bool AckClockValid(const std::uint8_t* c) {
    static const std::uint8_t failed[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x2F};
    bool isFailed = true;
    for (int i = 0; i < 6; ++i) isFailed = isFailed && c[i] == failed[i];
    if (isFailed) return true;
    const int hour = c[0], minute = c[1], second = c[2], month = c[3], day = c[4];
    const int year = 2000 + c[5];
    if (hour > 23 || minute > 59 || second > 59 || month < 1 || month > 12 || day < 1) return false;
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int last = days[month - 1];
    if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) last = 29;
    return day <= last;
}

const char* ReplyName(std::uint8_t type) {
    switch (type) {
        case PT_ACK: return "ACK";
        case PT_CANCEL: return "CANCEL";
        case PT_SUBSTITUTE: return "Substitude";
        case PT_BUSY: return "busy";
        case PT_PROCEED: return "Proceed to Transmit";
        case PT_HOLD_OFF: return "hold-off";
        case PT_ECHO: return "ECHO";
        default: return "unknown reply";
    }
}

std::string CheckReplyShape(const RxFrame& f) {
    char text[128];
    const std::size_t n = f.bytes.size();
    const std::uint8_t* p = f.Payload();
    auto wrongLength = [&](std::size_t want) {
        std::snprintf(text, sizeof text, "%s frame of %zu bytes, should be %zu", ReplyName(f.type),
                      n, want);
        return std::string(text);
    };
    if (f.sequence != 0) {
        std::snprintf(text, sizeof text, "%s with sequence byte %d, should be 0",
                      ReplyName(f.type), f.sequence);
        return text;
    }
    switch (f.type) {
        case PT_ACK:
            if (n != 19) return wrongLength(19);
            if (p[0] != 0) return "ACK payload byte 0 is not 0";
            if (!AckClockValid(p + 2)) {
                std::snprintf(text, sizeof text, "ACK clock %02X %02X %02X %02X %02X %02X is no time",
                              p[2], p[3], p[4], p[5], p[6], p[7]);
                return text;
            }
            return "";
        case PT_CANCEL:
            if (n != 12) return wrongLength(12);
            if (p[0] != 1) return "CANCEL payload is not 1";
            return "";
        case PT_SUBSTITUTE: {
            if (n < 13) return wrongLength(13);
            const std::size_t count = p[1];
            if (n != 13 + count) return wrongLength(13 + count);
            if (p[0] != 0) return "Substitude payload byte 0 is not 0";
            int previous = 0;
            for (std::size_t i = 0; i < count; ++i) {
                const int block = p[2 + i];
                if (block <= previous || block > 20)
                    return "Substitude list is not ascending block numbers from 1 to 20";
                previous = block;
            }
            return "";
        }
        case PT_BUSY:
            if (n != 12) return wrongLength(12);
            if (p[0] != 30) return "busy payload is not 30";
            return "";
        case PT_PROCEED:
            if (n != 14) return wrongLength(14);
            return "";
        case PT_HOLD_OFF:
            if (n != 12) return wrongLength(12);
            if (p[0] != 30 && p[0] != 0) return "hold-off payload is neither 30 nor 0";
            return "";
        case PT_ECHO:
            if (n < 14) return wrongLength(14);
            if (p[0] != 1) return "ECHO payload byte 0 is not 1";
            return "";
        default:
            std::snprintf(text, sizeof text, "reply of type %d, which the collector never sends",
                          f.type);
            return text;
    }
}

}  // namespace sitesim
