// How quickly kestova-collector answers, seen from the site's end of the
// line: the real program on a pseudo-terminal, the bench playing the site.
//
//   kestova_latency_bench COLLECTOR [--runs N] [--table=FILE]
//
// Every exchange starts from an idle line: the bench first keeps quiet for
// 100 to 1100 ms (a random time, so the exchange meets the collector at
// every point of its idle wait). Frames go out at the radio's 19200 baud,
// 32 bytes every 16.7 ms. Five figures, N times each (default 20):
// - Request to Transmit: its last byte written to the grant's first byte read;
// - a train in two blocks: the Last Data Packet's last byte written to the
//   ACK's first byte read (the train is in the journal and flushed to the
//   disk before the ACK goes out), and to the report renamed into place in
//   Z918E (seen by inotify);
// - an All-in-One train: its last byte written to the ACK, and to the report.
// Prints the median and the worst of each and appends them as table rows.
//
// The data folder is made in KESTOVA_BENCH_DIR (default: the current
// folder), which must be on a disk: in memory (tmpfs) the journal's flush
// would cost nothing, and the bench refuses it.
#include <poll.h>
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/PtyHarness.h"
#include "radio/Frame.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using e2e::Millis;
using e2e::SteadyClock;

constexpr std::uint8_t SITE = 21;
constexpr int COM = 1;
constexpr std::size_t CHUNK = 32;                                // bytes per write
constexpr auto CHUNK_TIME = std::chrono::microseconds(16667);    // 32 bytes at 19200 baud
constexpr std::size_t BLOCK_SIZE = 800;

Bytes Frame(std::uint8_t sequence, std::uint8_t type, const Bytes& payload) {
    Bytes out(payload.size() + FRAME_OVERHEAD);
    out.resize(BuildFrame(out.data(), out.size(), SITE, COLLECTOR_ID, sequence, type, payload.data(),
                          payload.size()));
    return out;
}

// A current-format train: 112-byte header with HWD records on, 7-byte axle
// records; `number` (header bytes 5-6) keeps every report's name apart.
Bytes TrainStream(std::uint16_t axles, std::uint16_t number) {
    Bytes s(12 + 112 + 7 * static_cast<std::size_t>(axles));
    s[0] = 2;
    s[1] = 112;
    s[2] = 15;
    WriteLe16(&s[4], axles);
    std::uint8_t* h = s.data() + 12;
    h[1] = 0x01;
    WriteLe16(h + 5, number);
    const std::uint8_t stamp[6] = {26, 12, 7, 15, 0, 0};
    std::memcpy(h + 15, stamp, 6);
    std::memcpy(h + 21, stamp, 6);
    WriteLe16(h + 33, axles);
    // Healthy readings (every bearing at 40, no hot-wheel values), the
    // last byte of each record varied.
    for (std::size_t i = 124; i + 7 <= s.size(); i += 7) {
        s[i] = s[i + 1] = 40;
        s[i + 6] = static_cast<std::uint8_t>(i * 13 + 1);
    }
    return s;
}

// A healthy train with one hot bearing: axle 1, left, at 170. The default
// rules give it one alarm.
Bytes HotBearingTrain(std::uint16_t axles, std::uint16_t number) {
    Bytes s = TrainStream(axles, number);
    s[124] = 170;
    return s;
}

// Waits for a file to appear in the folder an inotify descriptor watches;
// the moment it was seen, false after 5 s.
bool WaitNewFile(int inotifyFd, SteadyClock::time_point* at) {
    alignas(inotify_event) char buffer[4096];
    const auto deadline = SteadyClock::now() + Millis(5000);
    for (;;) {
        pollfd p{inotifyFd, POLLIN, 0};
        if (::poll(&p, 1, e2e::MillisLeft(deadline)) <= 0) return false;
        const auto now = SteadyClock::now();
        const ssize_t n = ::read(inotifyFd, buffer, sizeof buffer);
        for (ssize_t off = 0; off < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + off);
            if (event->len > 0 && event->name[0] != '.') {
                *at = now;
                return true;
            }
            off += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

double MillisSince(SteadyClock::time_point from, SteadyClock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

class Site {
public:
    Site(e2e::Pty& pty, int inotifyFd) : pty_(pty), inotify_(inotifyFd) {}

    // Writes the frame at line speed; returns when its last byte is written.
    bool SendAtLineSpeed(const Bytes& frame) {
        auto next = SteadyClock::now();
        for (std::size_t at = 0; at < frame.size(); at += CHUNK) {
            std::this_thread::sleep_until(next);
            const std::size_t n = std::min(CHUNK, frame.size() - at);
            if (!pty_.Send(Bytes(frame.begin() + static_cast<long>(at),
                                 frame.begin() + static_cast<long>(at + n))))
                return false;
            next += CHUNK_TIME;
        }
        return true;
    }

    // The moment the first byte the collector writes is there to read
    // (left unread); false when none comes within 3 s.
    bool WaitFirstByte(SteadyClock::time_point* at) {
        pollfd p{pty_.MasterFd(), POLLIN, 0};
        if (::poll(&p, 1, 3000) <= 0) return false;
        *at = SteadyClock::now();
        return true;
    }

    // The moment a report is renamed into place in Z918E; false after 5 s.
    bool WaitReport(SteadyClock::time_point* at) { return WaitNewFile(inotify_, at); }

    // Call right after a train's last byte: the time from now to the first
    // byte of its ACK joins `acks`, to its report in place `reports`.
    bool TimeAckAndReport(std::vector<double>* acks, std::vector<double>* reports) {
        const auto last = SteadyClock::now();
        SteadyClock::time_point ack, report;
        if (!WaitFirstByte(&ack) || !WaitReport(&report) || !Expect(PT_ACK)) return false;
        acks->push_back(MillisSince(last, ack));
        reports->push_back(MillisSince(last, report));
        return true;
    }

    // The next whole frame from the collector, of the given type.
    bool Expect(std::uint8_t type) {
        auto frame = pty_.ReceiveFrame(Millis(3000));
        return frame && frame->size() > 7 && (*frame)[7] == type;
    }

private:
    e2e::Pty& pty_;
    int inotify_;
};

struct Figure {
    const char* name;
    double medianTarget;
    double worstTarget;
    std::vector<double> samples;
};

std::string Row(const Figure& f) {
    std::vector<double> s = f.samples;
    std::sort(s.begin(), s.end());
    const double median = s.empty() ? 0 : s[(s.size() - 1) / 2];
    const double worst = s.empty() ? 0 : s.back();
    char text[512];
    std::snprintf(text, sizeof text, "%s, ms (median, worst of %zu)|<= %.0f, <= %.0f|%.1f, %.1f|%s",
                  f.name, s.size(), f.medianTarget, f.worstTarget, median, worst,
                  !s.empty() && median <= f.medianTarget && worst <= f.worstTarget ? "pass" : "FAIL");
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s COLLECTOR [--runs N] [--table=FILE]\n", argv[0]);
        return 2;
    }
    const std::string collectorPath = argv[1];
    int runs = 20;
    std::string tablePath;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc) runs = std::atoi(argv[++i]);
        else if (arg.rfind("--table=", 0) == 0) tablePath = arg.substr(8);
    }

    const char* base = std::getenv("KESTOVA_BENCH_DIR");
    e2e::DataFolder data(base != nullptr ? base : ".");
    e2e::Pty pty;
    if (data.Path().empty() || !pty.Ok()) return 1;
    struct statfs disk {};
    constexpr long TMPFS = 0x01021994, RAMFS = static_cast<long>(0x858458f6);
    if (::statfs(data.Path().c_str(), &disk) != 0 || disk.f_type == TMPFS || disk.f_type == RAMFS) {
        std::fprintf(stderr, "%s is in memory (or cannot be looked at): the journal's flush would cost nothing there; "
                     "set KESTOVA_BENCH_DIR to a folder on a disk\n", data.Path().c_str());
        return 1;
    }
    data.LinkPort(COM, pty.SlaveName());
    // The alarm command writes a file named after its alarm into hooks/.
    std::filesystem::create_directories(data.File("hooks"));
    data.WriteText("hook.sh", "#!/bin/sh\n: > '" + data.File("hooks") + "/'\"$KESTOVA_ALARM_ID\"\n");
    std::filesystem::permissions(data.File("hook.sh"), std::filesystem::perms::owner_all);
    data.WriteText("K7_Dialups.ini", "[Radio Serial Port]\nRadio_Port=" + std::to_string(COM) +
                                         "\n[Alarms]\nCommand=" + data.File("hook.sh") + "\n");
    std::filesystem::create_directories(data.File("Z918E"));
    const int inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    const int hookWatch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd < 0 || ::inotify_add_watch(inotifyFd, data.File("Z918E").c_str(), IN_MOVED_TO) < 0 ||
        hookWatch < 0 || ::inotify_add_watch(hookWatch, data.File("hooks").c_str(), IN_CREATE) < 0) {
        std::perror("inotify");
        return 1;
    }

    e2e::Process collector;
    if (!collector.Start(collectorPath, {}, {"KESTOVA_HOME=" + data.Path()}) ||
        !collector.WaitForLineContaining("Using Serial Port COMM", Millis(10000))) {
        std::fprintf(stderr, "the collector did not start: %s\n", collector.Stderr().c_str());
        return 1;
    }
    std::this_thread::sleep_for(Millis(500));  // let it reach its loop

    Site site(pty, inotifyFd);
    std::mt19937 random(20261207);
    auto idle = [&] {
        // Read what the collector printed, so its stdout never fills up.
        while (collector.ReadLine(Millis(0))) {
        }
        std::this_thread::sleep_for(Millis(100 + random() % 1000));
    };
    Figure grant{"Request to Transmit from an idle line to the grant's first byte", 20, 60, {}};
    Figure blocks{"Last byte of a train to its report in place, 2 blocks", 50, 150, {}};
    Figure allInOne{"Last byte of a train to its report in place, All-in-One", 50, 150, {}};
    Figure blocksAck{"Last byte of a train to its ACK's first byte, journal flush included, 2 blocks", 20, 60, {}};
    Figure allInOneAck{"Last byte of a train to its ACK's first byte, journal flush included, All-in-One", 20, 60, {}};

    std::uint16_t number = 1;
    for (int run = 0; run < runs; ++run) {
        const Bytes stream = TrainStream(200, number++);
        idle();
        if (!site.SendAtLineSpeed(Frame(0, PT_REQUEST_TO_TRANSMIT, {2, BLOCK_SIZE & 0xFF, BLOCK_SIZE >> 8})))
            return 1;
        const auto sent = SteadyClock::now();
        SteadyClock::time_point first;
        if (!site.WaitFirstByte(&first) || !site.Expect(PT_PROCEED)) {
            std::fprintf(stderr, "run %d: no grant\n", run);
            return 1;
        }
        grant.samples.push_back(MillisSince(sent, first));
        const Bytes one(stream.begin(), stream.begin() + BLOCK_SIZE);
        const Bytes two(stream.begin() + BLOCK_SIZE, stream.end());
        if (!site.SendAtLineSpeed(Frame(1, PT_DATA, one)) || !site.SendAtLineSpeed(Frame(2, PT_LAST_DATA, two)))
            return 1;
        if (!site.TimeAckAndReport(&blocksAck.samples, &blocks.samples)) {
            std::fprintf(stderr, "run %d: no report or no ACK after the blocks\n", run);
            return 1;
        }
    }
    for (int run = 0; run < runs; ++run) {
        Bytes payload(17, 0);
        const Bytes stream = TrainStream(100, number++);
        payload.insert(payload.end(), stream.begin(), stream.end());
        idle();
        if (!site.SendAtLineSpeed(Frame(static_cast<std::uint8_t>(run), PT_ALL_IN_ONE, payload))) return 1;
        if (!site.TimeAckAndReport(&allInOneAck.samples, &allInOne.samples)) {
            std::fprintf(stderr, "run %d: no report or no ACK for the All-in-One train\n", run);
            return 1;
        }
    }
    // The alarm command: trains with one hot bearing each; from the last
    // byte to the command's process writing its file (a shell's start
    // included).
    Figure hook{"Last byte of a train with a hot bearing to its alarm command's process start", 200, 1000, {}};
    for (int run = 0; run < runs; ++run) {
        Bytes payload(17, 0);
        const Bytes stream = HotBearingTrain(40, number++);
        payload.insert(payload.end(), stream.begin(), stream.end());
        while (collector.ReadLine(Millis(0))) {
        }
        (void)collector.Stderr();  // one ALARM line a train
        std::this_thread::sleep_for(Millis(100 + random() % 1000));
        if (!site.SendAtLineSpeed(Frame(static_cast<std::uint8_t>(run), PT_ALL_IN_ONE, payload))) return 1;
        const auto last = SteadyClock::now();
        SteadyClock::time_point started;
        if (!WaitNewFile(hookWatch, &started) || !site.Expect(PT_ACK)) {
            std::fprintf(stderr, "run %d: the alarm command did not run: %s\n", run, collector.Stderr().c_str());
            return 1;
        }
        hook.samples.push_back(MillisSince(last, started));
    }
    collector.Signal(SIGTERM);
    collector.WaitExit(Millis(5000));

    std::ofstream table;
    if (!tablePath.empty()) table.open(tablePath, std::ios::app);
    for (const Figure* f : {&grant, &allInOneAck, &blocksAck, &allInOne, &blocks, &hook}) {
        const std::string row = Row(*f);
        std::printf("%s\n", row.c_str());
        if (table.is_open()) table << row << '\n';
    }
    return 0;
}
