#include "Replies.h"

#include <cstdio>

#include "radio/Frame.h"

namespace sitesim {

void ReplyLexer::Feed(const std::uint8_t* bytes, std::size_t count) {
    pending_.insert(pending_.end(), bytes, bytes + count);
}

void ReplyLexer::Rescan() {
    const std::uint8_t* held = lexer_.rxBuffer.data();
    pending_.insert(pending_.begin(), held + 1, held + lexer_.rxCount);
    ++noiseBytes;
    lexer_.Reset(0);
    lexer_.rxBuffer[0] = 0;
}

void ReplyLexer::BadFrame() {
    const std::uint8_t* f = lexer_.rxBuffer.data();
    const std::size_t length = static_cast<std::size_t>(lexer_.rxCount);
    const std::uint16_t computed = ComputeChecksum(f, static_cast<std::uint16_t>(length - 3));
    char text[96];
    std::snprintf(text, sizeof text,
                  "bad frame of %zu bytes (checksum %04X, should be %04X, end byte %02X)", length,
                  static_cast<unsigned>(ReadLe16(f + length - 3)), static_cast<unsigned>(computed),
                  static_cast<unsigned>(f[length - 1]));
    ++badFrames;
    lastProblem = text;
    Rescan();
}

bool ReplyLexer::Next(RxFrame& out) {
    while (!pending_.empty()) {
        const std::uint8_t byte = pending_.front();
        pending_.pop_front();
        const std::int32_t before = lexer_.rxCount;
        const FrameLexer::Event event = lexer_.Feed(byte, 0);
        if (event == FrameLexer::Event::Frame) {
            const std::uint8_t* f = lexer_.rxBuffer.data();
            out.bytes.assign(f, f + lexer_.rxCount);
            out.source = f[2];
            out.destination = f[3];
            out.sequence = f[4];
            out.type = f[7];
            lexer_.Reset(0);
            lexer_.rxBuffer[0] = 0;
            return true;
        }
        if (event == FrameLexer::Event::BadChecksum) {
            lexer_.rxCount = lexer_.Dropped();
            BadFrame();
            continue;
        }
        if (lexer_.inPacket == 0) {
            // Only 55 AA starts a frame: a byte between them makes both noise.
            if (lexer_.rxCount == 0) {
                noiseBytes += static_cast<std::uint64_t>(before) + 1;
                lexer_.rxBuffer[0] = 0;
            }
            continue;
        }
        if (lexer_.rxCount < 7) continue;
        const std::size_t length = ReadLe16(lexer_.rxBuffer.data() + 5);
        if (length < FRAME_MIN_ACCEPTED) {
            ++badFrames;
            lastProblem = "frame length field " + std::to_string(length) + " out of range";
            Rescan();
        } else if (static_cast<std::size_t>(lexer_.rxCount) >= length) {
            BadFrame();  // whole by its length field, but the end byte is wrong
        }
    }
    return false;
}

void ReplyLexer::DropPartial() {
    if (lexer_.rxCount > 0) Rescan();
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
