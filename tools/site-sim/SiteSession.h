#pragma once
// The simulated sites' side of the protocol: Powerups, trains in one
// All-in-One Data Packet or in numbered blocks, the faults a radio line
// brings, and a check of every reply the collector sends back.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "Replies.h"
#include "TrainGenerator.h"

namespace sitesim {

// The line to the collector.
class ILink {
public:
    virtual ~ILink() = default;
    // Transmits bytes. When pauseAfter < count, the line goes quiet for
    // pauseMs after that many bytes, then the rest follows.
    virtual void Send(const std::uint8_t* bytes, std::size_t count, std::size_t pauseAfter,
                      std::uint32_t pauseMs) = 0;
    // Waits up to timeoutMs for bytes from the collector; the number read
    // (0 when none came).
    virtual std::size_t Receive(std::uint8_t* buffer, std::size_t capacity,
                                std::uint32_t timeoutMs) = 0;
    virtual std::uint64_t NowMs() = 0;
    virtual void Pause(std::uint32_t milliseconds) = 0;
    // False while nobody has the far end open (a pseudo-terminal that the
    // collector has not opened yet).
    virtual bool PeerPresent() { return true; }
};

struct SessionOptions {
    std::uint8_t collectorId = 250;
    std::uint32_t replyTimeoutMs = 3000;
    int retries = 3;                  // resends of one frame before the train fails
    std::uint32_t busyWaitMs = 2000;  // back-off after busy
    std::uint32_t peerTimeoutMs = 60000;  // 0: wait for the collector for ever
    // On a pseudo-terminal nothing is lost on the line, so a reply that
    // contradicts what was sent is a protocol error; on a radio it is a
    // warning, since the line may have lost a frame.
    bool strict = true;
    bool verbose = false;
    const std::atomic<bool>* stop = nullptr;
};

// Faults for one train. Block numbers count from 1.
struct Faults {
    std::set<int> drop;          // blocks (or, with 1, the All-in-One packet) not sent at first
    bool reorder = false;        // data blocks sent in a shuffled order (the last stays last)
    int duplicate = 0;           // block sent twice
    int badChecksum = 0;         // block sent with a wrong checksum at first
    int pauseBlock = 0;          // block with a pause before its end byte at first
    std::uint32_t pauseMs = 4000;
    bool noise = false;          // bytes of noise before every frame
    bool oversize = false;       // first ask for more blocks than allowed (CANCEL expected)
    std::uint64_t seed = 1;      // for the shuffle and the noise bytes
};

// What another site does in the middle of a transfer.
struct Interference {
    bool enabled = false;
    SiteIdentity site;
    bool withTrain = false;
    GeneratedTrain train;        // sent as an All-in-One Data Packet
};

struct Stats {
    std::uint64_t trainsSent = 0;
    std::uint64_t trainsAcknowledged = 0;
    std::uint64_t trainsRetried = 0;   // trains that needed at least one resend
    std::uint64_t trainsFailed = 0;
    std::uint64_t resends = 0;         // frames sent again
    std::uint64_t powerupsSent = 0;
    std::uint64_t powerupsAcknowledged = 0;
    std::uint64_t protocolErrors = 0;
    std::uint64_t warnings = 0;
    std::uint64_t unexpectedReplies = 0;
    std::uint64_t framesSent = 0;
    std::uint64_t bytesSent = 0;
    std::uint64_t bytesReceived = 0;
    std::uint64_t repliesChecked = 0;
    std::uint64_t firstFrameMs = 0;    // link time when the first frame began to go out
};

enum class Outcome { Acknowledged, Failed, Stopped };

// One frame as a site puts it on the line.
std::vector<std::uint8_t> SiteFrame(std::uint8_t source, std::uint8_t destination,
                                    std::uint8_t sequence, std::uint8_t type,
                                    const std::vector<std::uint8_t>& payload);

// How one frame goes on the line.
struct FrameShape {
    bool badChecksum = false;
    std::uint32_t pauseMs = 0;  // pause before the end byte
    bool noise = false;         // noise bytes before the frame
};

class SiteSession {
public:
    SiteSession(ILink& link, const SessionOptions& options, std::ostream& out);

    // Called for every train the collector acknowledged: the report it must
    // have written. blocks = delivered in blocks.
    std::function<void(const GeneratedTrain&, bool blocks)> onAcknowledged;

    Outcome SendPowerup(const SiteIdentity& site);
    Outcome SendAllInOne(const SiteIdentity& site, const GeneratedTrain& train,
                         const Faults& faults);
    Outcome SendBlocks(const SiteIdentity& site, const GeneratedTrain& train,
                       std::size_t blockSize, const Faults& faults,
                       const Interference& interference = {});
    // Reads replies for a while after the last exchange: anything that comes
    // is unexpected.
    void Linger(std::uint32_t milliseconds);
    // Waits until the far end is open; false when it did not come in time.
    bool WaitForPeer();

    const Stats& GetStats() const { return stats_; }
    // One line per protocol error, in order.
    const std::vector<std::string>& Problems() const { return problems_; }
    bool Stopping() const { return options_.stop != nullptr && options_.stop->load(); }

    // Splits a stream into blocks of blockSize (the last may be shorter).
    static std::size_t BlockCount(std::size_t streamSize, std::size_t blockSize);

private:
    enum class Wait { Got, TimedOut, Stopped };
    using Shape = FrameShape;

    void SendFrame(std::uint8_t source, std::uint8_t sequence, std::uint8_t type,
                   const std::uint8_t* payload, std::size_t size, const Shape& shape = Shape());
    Wait Await(std::uint8_t site, std::initializer_list<std::uint8_t> types,
               std::uint32_t timeoutMs, RxFrame& out);
    bool TakeMatching(std::uint8_t site, std::initializer_list<std::uint8_t> types,
                      RxFrame& out);
    void Note(const std::string& text);
    void ProtocolError(const std::string& text);
    void Mismatch(const std::string& text);  // error when strict, else warning
    void Interfere(const Interference& what);
    bool ExpectReply(std::uint8_t site, std::uint8_t type, int value, const char* what);
    void SendBlock(std::uint8_t site, const GeneratedTrain& train, std::size_t blockSize,
                   std::size_t count, int n, std::uint8_t type, const Shape& shape);

    ILink& link_;
    SessionOptions options_;
    std::ostream& out_;
    ReplyLexer lexer_;
    Stats stats_;
    std::vector<std::string> problems_;
    SimRandom noiseRng_{0x5EED};
    std::uint64_t badFramesSeen_ = 0;
    std::uint64_t lastReceiveMs_ = 0;
    static constexpr std::uint64_t STALE_PARTIAL_MS = 3000;
};

// A frame lost to a pause inside it: the collector drops a frame whose bytes
// are more than 3000 ms apart. Pauses near that limit may go either way.
enum class PauseEffect { Kept, Lost, Uncertain };
PauseEffect EffectOfPause(std::uint32_t pauseMs);

}  // namespace sitesim
