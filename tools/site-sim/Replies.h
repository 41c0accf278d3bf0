#pragma once
// The simulator's side of the radio: a frame lexer for what the collector
// sends back, and the checks every reply must pass.
//
// The lexer is the simulator's own rather than the collector's receiver: the
// receiver keeps its state in a CollectorContext and reads the process-wide
// radio port, and the simulator must be able to run in the same process as
// a collector (the unit tests do). It shares the frame layout and checksum.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

class FrameLexer {
public:
    void Feed(const std::uint8_t* bytes, std::size_t count);
    // Takes the next complete frame with a good checksum and end byte.
    bool Next(RxFrame& out);
    // Gives up on a partial frame that has stopped arriving: its start is
    // treated as noise and the bytes after it are scanned again.
    void DropPartial();
    bool HasPartial() const { return !buffer_.empty(); }

    std::uint64_t badFrames = 0;   // checksum or end byte wrong
    std::uint64_t noiseBytes = 0;  // bytes outside any frame
    std::string lastProblem;

private:
    std::vector<std::uint8_t> buffer_;
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
