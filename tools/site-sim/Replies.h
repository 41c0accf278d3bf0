#pragma once
// The simulator's side of the radio: the frames the collector sends back,
// and the checks every reply must pass.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "radio/FrameLexer.h"

namespace sitesim {

struct RxFrame {
    std::uint8_t source = 0;
    std::uint8_t destination = 0;
    std::uint8_t sequence = 0;
    std::uint8_t type = 0;
    std::vector<std::uint8_t> bytes;  // the whole frame
    const std::uint8_t* Payload() const { return bytes.data() + 8; }
    std::size_t PayloadSize() const { return bytes.size() - 11; }
};

// The collector's frame lexer, made to find frames on a line with noise and
// bad frames: a frame that turns out bad (length field out of range, end
// byte or checksum wrong) is noise from its first byte, and the bytes after
// that byte are scanned again. The simulator applies its own time-out to a
// partial frame (DropPartial), so the lexer's gap rule is off, and frames
// up to the 16-bit length limit are taken (an echo is up to 6020 bytes).
class ReplyLexer {
public:
    void Feed(const std::uint8_t* bytes, std::size_t count);
    // Takes the next complete frame with a good checksum and end byte.
    bool Next(RxFrame& out);
    // Gives up on a partial frame that has stopped arriving: its start is
    // treated as noise and the bytes after it are scanned again.
    void DropPartial();
    bool HasPartial() const { return lexer_.rxCount > 0 || !pending_.empty(); }

    std::uint64_t badFrames = 0;   // checksum or end byte wrong
    std::uint64_t noiseBytes = 0;  // bytes outside any frame
    std::string lastProblem;

private:
    // Noise from the first byte held; the rest goes back to be scanned again.
    void Rescan();
    // A frame whole by its length field (rxCount) that failed: noted, rescanned.
    void BadFrame();

    FrameLexer lexer_{0xFFFF, 0xFFFFFFFF};
    std::deque<std::uint8_t> pending_;
};

// Checks the layout of a reply from the collector for its type: frame
// length, fixed bytes, value ranges. Returns "" when it is well formed, else
// what is wrong.
std::string CheckReplyShape(const RxFrame& f);

// The six clock bytes of an ACK (hour, minute, second, month, day,
// year - 2000): a real time of day and date, or the collector's form for a
// clock it could not read (FF FF FF FF FF 2F).
bool AckClockValid(const std::uint8_t* six);

// The name a reply type is printed under.
const char* ReplyName(std::uint8_t type);

}  // namespace sitesim
