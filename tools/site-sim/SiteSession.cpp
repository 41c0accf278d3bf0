#include "SiteSession.h"

#include <algorithm>
#include <cstdio>

#include "radio/Frame.h"

namespace sitesim {

namespace {

std::string Join(const std::vector<int>& v) {
    std::string s;
    for (int x : v) {
        if (!s.empty()) s += ",";
        s += std::to_string(x);
    }
    return s.empty() ? "none" : s;
}

}  // namespace

PauseEffect EffectOfPause(std::uint32_t pauseMs) {
    // The collector reads its port every 500 ms at most, so the gap it
    // measures lies within 500 ms of the pause on the line.
    if (pauseMs >= 3600) return PauseEffect::Lost;
    if (pauseMs <= 2400) return PauseEffect::Kept;
    return PauseEffect::Uncertain;
}

SiteSession::SiteSession(ILink& link, const SessionOptions& options, std::ostream& out)
    : link_(link), options_(options), out_(out) {}

std::size_t SiteSession::BlockCount(std::size_t streamSize, std::size_t blockSize) {
    return blockSize == 0 ? 0 : (streamSize + blockSize - 1) / blockSize;
}

void SiteSession::Note(const std::string& text) { out_ << "site-sim: " << text << std::endl; }

void SiteSession::ProtocolError(const std::string& text) {
    ++stats_.protocolErrors;
    problems_.push_back(text);
    out_ << "site-sim: PROTOCOL ERROR: " << text << std::endl;
}

void SiteSession::Mismatch(const std::string& text) {
    if (options_.strict) {
        ProtocolError(text);
    } else {
        ++stats_.warnings;
        Note("warning: " + text);
    }
}

std::vector<std::uint8_t> SiteFrame(std::uint8_t source, std::uint8_t destination,
                                    std::uint8_t sequence, std::uint8_t type,
                                    const std::vector<std::uint8_t>& payload) {
    return BuildFrame(source, destination, sequence, type, payload);
}

void SiteSession::SendFrame(std::uint8_t source, std::uint8_t sequence, std::uint8_t type,
                            const std::uint8_t* payload, std::size_t size, const Shape& shape) {
    std::vector<std::uint8_t> bytes;
    if (shape.noise) {
        // Line noise between frames. It never holds 55 or AA, which the
        // collector would take for the start of a frame.
        const int n = noiseRng_.Range(1, 16);
        for (int i = 0; i < n; ++i) {
            std::uint8_t b;
            do b = noiseRng_.Byte();
            while (b == FRAME_START_1 || b == FRAME_START_2);
            bytes.push_back(b);
        }
    }
    const std::vector<std::uint8_t> frame =
        SiteFrame(source, options_.collectorId, sequence, type,
                  std::vector<std::uint8_t>(payload, payload + size));
    bytes.insert(bytes.end(), frame.begin(), frame.end());
    if (shape.badChecksum) bytes[bytes.size() - 3] ^= 0x5A;
    // A pause falls before the end byte: what follows it is the end byte
    // alone, which cannot start a frame at the collector.
    const std::size_t pauseAfter = shape.pauseMs > 0 ? bytes.size() - 1 : bytes.size();
    if (stats_.framesSent == 0) stats_.firstFrameMs = link_.NowMs();
    link_.Send(bytes.data(), bytes.size(), pauseAfter, shape.pauseMs);
    ++stats_.framesSent;
    stats_.bytesSent += bytes.size();
}

bool SiteSession::TakeMatching(std::uint8_t site, std::initializer_list<std::uint8_t> types,
                               RxFrame& out) {
    RxFrame f;
    for (;;) {
        const bool got = lexer_.Next(f);
        if (lexer_.badFrames != badFramesSeen_) {
            badFramesSeen_ = lexer_.badFrames;
            Mismatch("from the collector: " + lexer_.lastProblem);
        }
        if (!got) return false;
        if (f.source != options_.collectorId) continue;  // other traffic on the air
        ++stats_.repliesChecked;
        const std::string shape = CheckReplyShape(f);
        if (!shape.empty()) {
            ProtocolError(shape + " (to site " + std::to_string(f.destination) + ")");
            continue;
        }
        if (f.type == PT_ECHO) {
            Note("echo test from the collector to site " + std::to_string(f.destination) + " (" +
                 std::to_string(f.bytes.size()) + " bytes)");
            continue;
        }
        if (f.destination == site &&
            std::find(types.begin(), types.end(), f.type) != types.end()) {
            out = std::move(f);
            return true;
        }
        ++stats_.unexpectedReplies;
        char text[128];
        std::snprintf(text, sizeof text, "unexpected %s to site %d (ignored)", ReplyName(f.type),
                      f.destination);
        Note(text);
    }
}

SiteSession::Wait SiteSession::Await(std::uint8_t site, std::initializer_list<std::uint8_t> types,
                                     std::uint32_t timeoutMs, RxFrame& out) {
    const std::uint64_t deadline = link_.NowMs() + timeoutMs;
    for (;;) {
        if (TakeMatching(site, types, out)) return Wait::Got;
        if (Stopping()) return Wait::Stopped;
        const std::uint64_t now = link_.NowMs();
        // A frame start whose rest stopped coming is noise, as it is for the
        // collector's receiver.
        while (lexer_.HasPartial() && now - lastReceiveMs_ > STALE_PARTIAL_MS) {
            lexer_.DropPartial();
            if (TakeMatching(site, types, out)) return Wait::Got;
        }
        if (now >= deadline) return Wait::TimedOut;
        std::uint8_t buffer[4096];
        const std::size_t got = link_.Receive(
            buffer, sizeof buffer, static_cast<std::uint32_t>(std::min<std::uint64_t>(deadline - now, 200)));
        if (got > 0) {
            stats_.bytesReceived += got;
            lastReceiveMs_ = link_.NowMs();
            lexer_.Feed(buffer, got);
        }
    }
}

bool SiteSession::WaitForPeer() {
    if (link_.PeerPresent()) return true;
    Note("waiting for the collector to open the port");
    const std::uint64_t start = link_.NowMs();
    while (!link_.PeerPresent()) {
        if (Stopping()) return false;
        if (options_.peerTimeoutMs != 0 && link_.NowMs() - start >= options_.peerTimeoutMs) {
            Note("the collector did not open the port");
            return false;
        }
        link_.Pause(100);
    }
    Note("the collector has opened the port");
    return true;
}

Outcome SiteSession::SendPowerup(const SiteIdentity& site) {
    if (!WaitForPeer()) return Stopping() ? Outcome::Stopped : Outcome::Failed;
    const std::vector<std::uint8_t> payload = PowerupPayload(site);
    ++stats_.powerupsSent;
    for (int attempt = 0; attempt <= options_.retries; ++attempt) {
        if (attempt > 0) ++stats_.resends;
        SendFrame(site.radioId, 0, PT_POWERUP, payload.data(), payload.size());
        RxFrame reply;
        const Wait w = Await(site.radioId, {PT_ACK}, options_.replyTimeoutMs, reply);
        if (w == Wait::Stopped) return Outcome::Stopped;
        if (w == Wait::Got) {
            if (reply.Payload()[1] != 0)
                ProtocolError("Powerup of site " + std::to_string(site.radioId) +
                              " acknowledged with track number " +
                              std::to_string(reply.Payload()[1]) + ", should be 0");
            ++stats_.powerupsAcknowledged;
            if (options_.verbose)
                Note("Powerup of site " + std::to_string(site.radioId) + " acknowledged");
            return Outcome::Acknowledged;
        }
        Note("no ACK for the Powerup of site " + std::to_string(site.radioId));
    }
    return Outcome::Failed;
}

Outcome SiteSession::SendAllInOne(const SiteIdentity& site, const GeneratedTrain& train,
                                  const Faults& faults) {
    if (!WaitForPeer()) return Stopping() ? Outcome::Stopped : Outcome::Failed;
    ++stats_.trainsSent;
    // Payload bytes 0 to 16 come before the train data stream; the collector
    // does not read them. They repeat a few facts of the train.
    std::vector<std::uint8_t> payload = AllInOnePayload(train.stream);
    WriteLe16(&payload[0], site.siteNumber);
    WriteLe16(&payload[2], train.design.trainNumber);
    WriteLe16(&payload[4], static_cast<std::uint16_t>(train.design.axles));
    payload[6] = train.design.track;
    const std::uint8_t track = train.design.track;

    int resends = 0;
    for (int attempt = 0; attempt <= options_.retries; ++attempt) {
        if (attempt > 0) {
            ++stats_.resends;
            ++resends;
        }
        Shape shape;
        shape.noise = faults.noise;
        const bool first = attempt == 0;
        if (first && faults.badChecksum == 1) shape.badChecksum = true;
        if (first && faults.pauseBlock == 1) shape.pauseMs = faults.pauseMs;
        if (!(first && faults.drop.count(1) != 0))
            SendFrame(site.radioId, track, PT_ALL_IN_ONE, payload.data(), payload.size(), shape);
        RxFrame reply;
        const Wait w = Await(site.radioId, {PT_ACK}, options_.replyTimeoutMs, reply);
        if (w == Wait::Stopped) return Outcome::Stopped;
        if (w == Wait::TimedOut) continue;
        if (reply.Payload()[1] != track)
            ProtocolError("All-in-One train " + std::to_string(train.design.trainNumber) +
                          " acknowledged with track number " +
                          std::to_string(reply.Payload()[1]) + ", should be " +
                          std::to_string(track));
        const bool lostFirst = first && (shape.badChecksum || faults.drop.count(1) != 0 ||
                                         EffectOfPause(shape.pauseMs) == PauseEffect::Lost);
        if (lostFirst && shape.pauseMs > 0)
            Mismatch("ACK for an All-in-One packet that had a " +
                     std::to_string(shape.pauseMs) + " ms pause inside");
        else if (lostFirst)
            Mismatch("ACK for an All-in-One packet that was never sent whole");
        ++stats_.trainsAcknowledged;
        if (resends > 0) ++stats_.trainsRetried;
        if (onAcknowledged) onAcknowledged(train, false);
        return Outcome::Acknowledged;
    }
    ++stats_.trainsFailed;
    if (resends > 0) ++stats_.trainsRetried;
    Note("train " + std::to_string(train.design.trainNumber) + " from site " +
         std::to_string(site.radioId) + ": no ACK after " + std::to_string(resends) + " resends");
    return Outcome::Failed;
}

void SiteSession::SendBlock(std::uint8_t site, const GeneratedTrain& train, std::size_t blockSize,
                            std::size_t count, int n, std::uint8_t type, const Shape& shape) {
    const std::size_t begin = static_cast<std::size_t>(n - 1) * blockSize;
    const std::size_t end = static_cast<std::size_t>(n) == count
                                ? train.stream.size()
                                : std::min(train.stream.size(), begin + blockSize);
    SendFrame(site, static_cast<std::uint8_t>(n), type, train.stream.data() + begin, end - begin,
              shape);
}

bool SiteSession::ExpectReply(std::uint8_t site, std::uint8_t type, int value, const char* what) {
    RxFrame reply;
    const Wait w = Await(site, {type}, options_.replyTimeoutMs, reply);
    if (w != Wait::Got) {
        if (w == Wait::TimedOut)
            Mismatch(std::string("no ") + ReplyName(type) + " for " + what + " of site " +
                     std::to_string(site));
        return false;
    }
    if (value >= 0 && reply.Payload()[type == PT_ACK ? 1 : 0] != value) {
        ProtocolError(std::string(ReplyName(type)) + " for " + what + " of site " +
                      std::to_string(site) + " carries " +
                      std::to_string(reply.Payload()[type == PT_ACK ? 1 : 0]) + ", should be " +
                      std::to_string(value));
        return false;
    }
    return true;
}

void SiteSession::Interfere(const Interference& what) {
    const std::uint8_t id = what.site.radioId;
    Note("site " + std::to_string(id) + " interferes with the transfer");
    // A request of its own: turned away while the transfer runs.
    const std::uint8_t request[3] = {2, 0x58, 0x02};
    SendFrame(id, 0, PT_REQUEST_TO_TRANSMIT, request, sizeof request);
    ExpectReply(id, PT_BUSY, 30, "a Request to Transmit during another site's transfer");
    const std::uint8_t status[1] = {0};
    SendFrame(id, 0, PT_SEND_STATUS, status, sizeof status);
    ExpectReply(id, PT_HOLD_OFF, 30, "a Send Status during another site's transfer");
    std::uint8_t data[40];
    for (std::uint8_t& b : data) b = noiseRng_.Byte();
    SendFrame(id, 1, PT_DATA, data, sizeof data);
    ExpectReply(id, PT_HOLD_OFF, 30, "a Data Packet during another site's transfer");
    const std::vector<std::uint8_t> powerup = PowerupPayload(what.site);
    ++stats_.powerupsSent;
    SendFrame(id, 0, PT_POWERUP, powerup.data(), powerup.size());
    if (ExpectReply(id, PT_ACK, 0, "a Powerup during another site's transfer"))
        ++stats_.powerupsAcknowledged;
    if (what.withTrain) {
        // A one-packet train is taken in at once, transfer or not.
        ++stats_.trainsSent;
        const std::vector<std::uint8_t> payload = AllInOnePayload(what.train.stream);
        SendFrame(id, what.train.design.track, PT_ALL_IN_ONE, payload.data(), payload.size());
        if (ExpectReply(id, PT_ACK, what.train.design.track,
                        "an All-in-One train during another site's transfer")) {
            ++stats_.trainsAcknowledged;
            if (onAcknowledged) onAcknowledged(what.train, false);
        } else {
            ++stats_.trainsFailed;
        }
    }
}

Outcome SiteSession::SendBlocks(const SiteIdentity& site, const GeneratedTrain& train,
                                std::size_t blockSize, const Faults& faults,
                                const Interference& interference) {
    if (!WaitForPeer()) return Stopping() ? Outcome::Stopped : Outcome::Failed;
    ++stats_.trainsSent;
    const std::uint8_t id = site.radioId;
    const std::size_t count = BlockCount(train.stream.size(), blockSize);
    const std::string name = "train " + std::to_string(train.design.trainNumber) + " from site " +
                             std::to_string(id);
    int resends = 0;
    auto fail = [&](const std::string& why) {
        ++stats_.trainsFailed;
        if (resends > 0) ++stats_.trainsRetried;
        Note(name + ": " + why);
        return Outcome::Failed;
    };
    auto resent = [&](int n) {
        resends += n;
        stats_.resends += static_cast<std::uint64_t>(n);
    };
    if (count > 255 || blockSize > 0xFFFF) return fail("too many blocks to announce");

    // A request for more blocks than the collector takes is refused.
    if (faults.oversize) {
        const std::uint8_t big[3] = {21, static_cast<std::uint8_t>(blockSize & 0xFF),
                                     static_cast<std::uint8_t>(blockSize >> 8)};
        SendFrame(id, 0, PT_REQUEST_TO_TRANSMIT, big, sizeof big);
        RxFrame reply;
        const Wait w = Await(id, {PT_CANCEL, PT_PROCEED, PT_BUSY, PT_HOLD_OFF},
                             options_.replyTimeoutMs, reply);
        if (w == Wait::Stopped) return Outcome::Stopped;
        if (w == Wait::TimedOut)
            Mismatch("no CANCEL for a Request to Transmit of 21 blocks");
        else if (reply.type != PT_CANCEL)
            ProtocolError(std::string(ReplyName(reply.type)) +
                          " for a Request to Transmit of 21 blocks, should be CANCEL");
        if (w == Wait::Got && reply.type == PT_PROCEED)
            return fail("granted 21 blocks");  // the collector now waits for blocks we never send
    }

    // Request and grant.
    const std::uint8_t request[3] = {static_cast<std::uint8_t>(count),
                                     static_cast<std::uint8_t>(blockSize & 0xFF),
                                     static_cast<std::uint8_t>(blockSize >> 8)};
    int attempts = 0;
    for (;;) {
        SendFrame(id, 0, PT_REQUEST_TO_TRANSMIT, request, sizeof request);
        RxFrame reply;
        const Wait w = Await(id, {PT_PROCEED, PT_CANCEL, PT_BUSY, PT_HOLD_OFF},
                             options_.replyTimeoutMs, reply);
        if (w == Wait::Stopped) return Outcome::Stopped;
        if (w == Wait::Got && reply.type == PT_PROCEED) {
            const std::uint8_t* p = reply.Payload();
            if (p[0] != request[0] || p[1] != request[1] || p[2] != request[2]) {
                ProtocolError("grant for " + std::to_string(p[0]) + " blocks of " +
                              std::to_string(ReadLe16(p + 1)) + " bytes, asked for " +
                              std::to_string(count) + " of " + std::to_string(blockSize));
                return fail("grant does not match the request");
            }
            break;
        }
        if (w == Wait::Got && reply.type == PT_CANCEL) {
            if (count <= 20) ProtocolError("CANCEL for a Request to Transmit of " +
                                           std::to_string(count) + " blocks");
            return fail("request refused with CANCEL");
        }
        if (w == Wait::Got && reply.type == PT_HOLD_OFF) {
            ProtocolError("hold-off " + std::to_string(reply.Payload()[0]) +
                          " in answer to a Request to Transmit");
            return fail("held off before the grant");
        }
        if (++attempts > options_.retries) return fail("no grant");
        resent(1);
        if (w == Wait::Got) {
            // Busy: another site's transfer runs. Try again a little later.
            Note(name + ": collector busy, asking again");
            link_.Pause(options_.busyWaitMs);
        }
    }

    // The blocks: data packets first, the last one as Last Data Packet.
    std::vector<int> order;
    for (int n = 1; n < static_cast<int>(count); ++n) order.push_back(n);
    if (faults.reorder && order.size() > 1) {
        SimRandom shuffle(faults.seed);
        const std::vector<int> before = order;
        while (order == before)
            for (std::size_t i = order.size() - 1; i > 0; --i)
                std::swap(order[i], order[static_cast<std::size_t>(shuffle.Range(0, static_cast<int>(i)))]);
    }
    order.push_back(static_cast<int>(count));

    std::set<int> delivered, uncertain;
    const std::size_t interfereAt = order.size() / 2;
    for (std::size_t k = 0; k < order.size(); ++k) {
        if (Stopping()) return Outcome::Stopped;
        if (interference.enabled && k == interfereAt) Interfere(interference);
        const int n = order[k];
        const std::uint8_t type = n == static_cast<int>(count) ? PT_LAST_DATA : PT_DATA;
        if (faults.drop.count(n) != 0) continue;
        Shape shape;
        shape.noise = faults.noise;
        shape.badChecksum = faults.badChecksum == n;
        if (faults.pauseBlock == n) shape.pauseMs = faults.pauseMs;
        if (faults.duplicate == n && type == PT_DATA) {
            SendBlock(id, train, blockSize, count, n, type, Shape{false, 0, faults.noise});
            delivered.insert(n);
        }
        SendBlock(id, train, blockSize, count, n, type, shape);
        if (shape.badChecksum) continue;
        if (shape.pauseMs > 0) {
            const PauseEffect e = EffectOfPause(shape.pauseMs);
            if (e == PauseEffect::Lost) continue;
            if (e == PauseEffect::Uncertain) {
                uncertain.insert(n);
                continue;
            }
        }
        delivered.insert(n);
    }

    // Answers to the Last Data Packet: ACK, or Substitude and another round.
    int silentWaits = 0;
    int rounds = 0;
    for (;;) {
        RxFrame reply;
        const Wait w = Await(id, {PT_ACK, PT_SUBSTITUTE, PT_HOLD_OFF}, options_.replyTimeoutMs,
                             reply);
        if (w == Wait::Stopped) return Outcome::Stopped;
        if (w == Wait::TimedOut) {
            // The Last Data Packet did not get through: send it again.
            if (++silentWaits > options_.retries) return fail("no answer to the Last Data Packet");
            resent(1);
            SendBlock(id, train, blockSize, count, static_cast<int>(count), PT_LAST_DATA,
                      Shape{false, 0, faults.noise});
            delivered.insert(static_cast<int>(count));
            uncertain.erase(static_cast<int>(count));
            continue;
        }
        std::vector<int> missing;  // what the collector cannot have
        for (int n = 1; n <= static_cast<int>(count); ++n)
            if (delivered.count(n) == 0 && uncertain.count(n) == 0) missing.push_back(n);
        if (reply.type == PT_HOLD_OFF) {
            if (reply.Payload()[0] != 0)
                ProtocolError("hold-off 30 to the site being served");
            return fail("the collector gave up the transfer (hold-off 0)");
        }
        if (reply.type == PT_ACK) {
            if (reply.Payload()[1] != 0)
                ProtocolError(name + " acknowledged with track number " +
                              std::to_string(reply.Payload()[1]) + ", should be 0");
            if (!missing.empty())
                Mismatch(name + " acknowledged while blocks " + Join(missing) + " are missing");
            ++stats_.trainsAcknowledged;
            if (resends > 0) ++stats_.trainsRetried;
            if (onAcknowledged) onAcknowledged(train, true);
            return Outcome::Acknowledged;
        }
        // Substitude.
        const std::uint8_t* p = reply.Payload();
        std::vector<int> listed(p + 2, p + 2 + p[1]);
        for (int n : missing)
            if (std::find(listed.begin(), listed.end(), n) == listed.end())
                ProtocolError("Substitude for " + name + " lists " + Join(listed) +
                              " but not missing block " + std::to_string(n));
        for (int n : listed) {
            if (n > static_cast<int>(count))
                ProtocolError("Substitude for " + name + " lists block " + std::to_string(n) +
                              " of " + std::to_string(count));
            else if (delivered.count(n) != 0)
                Mismatch("Substitude for " + name + " lists block " + std::to_string(n) +
                         ", which was sent whole");
        }
        if (listed.empty()) ProtocolError("Substitude for " + name + " lists no block");
        if (++rounds > options_.retries + 1) return fail("blocks still missing after resends");
        if (options_.verbose) Note(name + ": resending blocks " + Join(listed));
        for (int n : listed) {
            if (n < 1 || n >= static_cast<int>(count)) continue;
            SendBlock(id, train, blockSize, count, n, PT_DATA, Shape{false, 0, faults.noise});
            delivered.insert(n);
            uncertain.erase(n);
        }
        SendBlock(id, train, blockSize, count, static_cast<int>(count), PT_LAST_DATA,
                  Shape{false, 0, faults.noise});
        resent(static_cast<int>(listed.size()) + 1);
    }
}

void SiteSession::Linger(std::uint32_t milliseconds) {
    RxFrame f;
    const Wait w = Await(0, {}, milliseconds, f);
    (void)w;
}

}  // namespace sitesim
