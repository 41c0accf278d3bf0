// Throughput of the receive path and cost of writing a train report.
//
// Receiver: a stream of well-formed frames (block-sized Data Packets and
// small packets) with noise between them, drained through ReceivePacket
// exactly as the worker does, compared with ComputeChecksum alone over the
// same bytes. The production port keeps its bytes behind a mutex, and the
// production clock is read once per call; both are measured, and each is
// also swapped for a cheaper stand-in to show what it costs. The link's
// output takes each frame the way a scope would be handed it, without
// formatting its dump (that is the scope's cost, not the receiver's).
//
// Report: WriteTrainReport for a 1200-axle train with HWD records (format,
// temporary file, flush to the disk, rename) compared with the least a
// durable replacement of the same bytes in the same folder takes: write,
// fsync, rename, fsync of the folder.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "BenchTable.h"
#include "common/LinkStatus.h"
#include "common/Messages.h"
#include "common/Output.h"
#include "common/TrainRecord.h"
#include "platform/AtomicFile.h"
#include "platform/Clock.h"
#include "platform/PortServices.h"
#include "radio/Frame.h"
#include "radio/Link.h"
#include "radio/Receiver.h"
#include "radio/SerialPort.h"
#include "records/TrainReport.h"

namespace {

// The frames the receiver will meet: 48 Data Packets of 1000 payload bytes
// and 16 small packets, each after 8 to 40 bytes of line noise. Noise never
// holds 0x55, so it cannot open a frame that swallows the next real one.
const std::vector<std::uint8_t>& RadioStream() {
    static const std::vector<std::uint8_t> stream = [] {
        std::vector<std::uint8_t> out;
        std::mt19937 random(20240506);
        std::vector<std::uint8_t> frame(2048);
        for (int i = 0; i < 64; ++i) {
            const std::size_t noise = 8 + random() % 33;
            for (std::size_t k = 0; k < noise; ++k) {
                std::uint8_t b = static_cast<std::uint8_t>(random());
                out.push_back(b == FRAME_START_1 || b == FRAME_START_2 ? 0x54 : b);
            }
            const bool block = i % 4 != 3;
            std::vector<std::uint8_t> payload(block ? 1000 : 17);
            for (auto& b : payload) b = static_cast<std::uint8_t>(random());
            const std::size_t n =
                BuildFrame(frame.data(), frame.size(), 12, COLLECTOR_ID, static_cast<std::uint8_t>(i % 20 + 1),
                           block ? PT_DATA : PT_POWERUP, payload.data(), payload.size());
            out.insert(out.end(), frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(n));
        }
        return out;
    }();
    return stream;
}
constexpr int kFramesInStream = 64;

// A port over a fixed array, without the production port's lock and queue.
class ArrayPort final : public CSerialPortInterface {
public:
    void Write(const std::uint8_t*, std::size_t) override {}
    std::int32_t ReadChar() override { return at_ < size_ ? data_[at_++] : -1; }
    void Rewind(const std::vector<std::uint8_t>& bytes) {
        data_ = bytes.data();
        size_ = bytes.size();
        at_ = 0;
    }

protected:
    std::int32_t OpenPort(std::uint8_t) override { return 0; }

private:
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t at_ = 0;
};

// Takes the dump of every good frame as a scope would be handed it; it only
// looks at the last byte.
class FrameSink final : public IOutput {
public:
    void Scope(std::uint32_t, WPARAM wParam, LPARAM lParam) override {
        if (lParam != 0 && wParam > 0) sink += reinterpret_cast<const std::uint8_t*>(lParam)[wParam - 1];
    }
    void Publish(EngineEvent) override {}
    std::uint64_t sink = 0;
};

void BM_ChecksumOnly(benchmark::State& state) {
    const std::vector<std::uint8_t>& stream = RadioStream();
    for (auto _ : state) {
        std::uint32_t sum = 0;
        for (std::size_t at = 0; at < stream.size(); at += 0xFFFF) {
            const std::size_t n = stream.size() - at < 0xFFFF ? stream.size() - at : 0xFFFF;
            sum += ComputeChecksum(stream.data() + at, static_cast<std::uint16_t>(n));
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_ChecksumOnly);

// The receiver over the whole radio stream from a port of type Port.
// Arg 0: 0 = the production clock, 1 = a fake clock (a plain atomic read).
template <typename Port>
void ReceiveFrom(benchmark::State& state) {
    const std::vector<std::uint8_t>& stream = RadioStream();
    FakeClock fake;
    SystemClock system;
    IClock& clock = state.range(0) == 1 ? static_cast<IClock&>(fake) : system;
    Port port;
    // The link status the receiver keeps up to date for every good frame.
    LinkWatch watch;
    PortServices services;
    services.link = &watch;
    services.clock = &clock;
    port.Attach(services);
    FrameSink out;
    auto link = std::make_unique<RadioLink>(port, clock, out);
    link->rx.lastByteTick = clock.TickCount();
    int frames = 0;
    for (auto _ : state) {
        if constexpr (std::is_same_v<Port, MemorySerialPort>) {
            state.PauseTiming();
            port.Feed(stream);
            state.ResumeTiming();
        } else {
            port.Rewind(stream);
        }
        while (ReceivePacket(*link)) {
            ++frames;
            ResetReceiver(*link);
        }
    }
    if (frames != kFramesInStream * static_cast<int>(state.iterations())) state.SkipWithError("frames lost");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}

void BM_ReceiveMemoryPort(benchmark::State& state) { ReceiveFrom<MemorySerialPort>(state); }
BENCHMARK(BM_ReceiveMemoryPort)->Arg(0)->Arg(1);

void BM_ReceiveArrayPort(benchmark::State& state) { ReceiveFrom<ArrayPort>(state); }
BENCHMARK(BM_ReceiveArrayPort)->Arg(0)->Arg(1);

// A data folder for the report benchmarks, on the disk (not in memory), so
// the flush to the disk costs what it costs on a station.
const std::string& ReportFolder() {
    static const std::string folder = [] {
        const char* base = std::getenv("KESTOVA_BENCH_DIR");
        std::string pattern = std::string(base != nullptr ? base : ".") + "/kestova-bench-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (::mkdtemp(name.data()) == nullptr) std::abort();
        return std::filesystem::absolute(name.data()).string() + "/";
    }();
    // Registered once the path exists, so it runs before the path's own
    // destructor at exit.
    static const bool removedAtExit = [] {
        std::atexit([] { std::filesystem::remove_all(folder); });
        return true;
    }();
    (void)removedAtExit;
    return folder;
}

struct Train {
    std::uint8_t header[TRAIN_HEADER_SIZE] = {};
    AxleSlot slots[MAX_AXLES] = {};
};

// 1200 axles, cars of four axles, HWD records on, two system messages.
const Train& BigTrain() {
    static const Train train = [] {
        Train t;
        std::uint8_t* h = t.header;
        h[1] = 0x01;
        h[5] = 0xA1;
        h[6] = 0x01;
        h[8] = 'N';
        h[9] = 'B';
        const std::uint8_t stamp[6] = {24, 5, 6, 7, 8, 9};
        std::memcpy(h + 15, stamp, 6);
        std::memcpy(h + 21, stamp, 6);
        h[27] = 1;
        h[28] = 2;
        h[33] = MAX_AXLES & 0xFF;
        h[34] = MAX_AXLES >> 8;
        h[48] = 3;
        h[55] = 35;
        for (std::size_t a = 0; a < MAX_AXLES; ++a) {
            AxleSlot& s = t.slots[a];
            s.bytes[0] = static_cast<std::uint8_t>(40 + a % 60);
            s.bytes[1] = static_cast<std::uint8_t>(35 + a % 50);
            s.bytes[2] = static_cast<std::uint8_t>(a);
            s.bytes[3] = static_cast<std::uint8_t>(a * 7);
            s.bytes[4] = static_cast<std::uint8_t>(a * 3);
            s.bytes[5] = static_cast<std::uint8_t>((a % 4 == 0 ? 0x80 : 0x00) | (a % 3));
        }
        return t;
    }();
    return train;
}

// Each report is a new train's, as on the line: its file does not exist yet
// (a report whose name is taken is read back and compared first, which a
// new train never needs).
void BM_WriteTrainReport(benchmark::State& state) {
    const Train& train = BigTrain();
    NullOutput log;
    const std::string path = TrainReportPath(ReportFolder(), train.header);
    for (auto _ : state) {
        state.PauseTiming();
        ::unlink(path.c_str());
        state.ResumeTiming();
        if (!WriteTrainReport(ReportFolder(), train.header, train.slots, log)) {
            state.SkipWithError("report not written");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() *
                                                      FormatTrainReport(train.header, train.slots).size()));
}
BENCHMARK(BM_WriteTrainReport)->UseRealTime();

// The same bytes written to a file of the same folder: open, one write,
// close; Arg 1 also flushes the file to the disk before closing.
void BM_SingleWrite(benchmark::State& state) {
    const Train& train = BigTrain();
    const std::string bytes = FormatTrainReport(train.header, train.slots);
    const std::string path = ReportFolder() + "single-write.txt";
    const bool flush = state.range(0) == 1;
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            state.SkipWithError("write failed");
            break;
        }
        if (flush) ::fsync(fd);
        ::close(fd);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_SingleWrite)->Arg(0)->Arg(1)->UseRealTime();

// The least a file that survives a power cut takes: the bytes written to a
// temporary file and flushed, renamed over the target, and the folder
// flushed so the rename itself is on the disk. Arg 0 leaves out the folder's
// flush (what a writer without it costs).
void BM_MinimalDurableWrite(benchmark::State& state) {
    const Train& train = BigTrain();
    const std::string bytes = FormatTrainReport(train.header, train.slots);
    const std::string path = ReportFolder() + "durable-write.txt";
    const std::string temp = ReportFolder() + "durable-write.tmp";
    const bool flushFolder = state.range(0) == 1;
    for (auto _ : state) {
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
            ::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
            state.SkipWithError("durable write failed");
            break;
        }
        if (flushFolder) {
            const int dir = ::open(ReportFolder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dir < 0 || ::fsync(dir) != 0) {
                state.SkipWithError("folder flush failed");
                break;
            }
            ::close(dir);
        }
    }
}
BENCHMARK(BM_MinimalDurableWrite)->Arg(1)->Arg(0)->UseRealTime();

// The crash-safe replacement alone (temporary file, write, flush, rename)
// of the already formatted bytes: the report's cost without the formatting.
void BM_AtomicWriteOnly(benchmark::State& state) {
    const Train& train = BigTrain();
    const std::string bytes = FormatTrainReport(train.header, train.slots);
    const std::string path = ReportFolder() + "atomic-write.txt";
    for (auto _ : state) {
        if (WriteFileAtomically(path, bytes.data(), bytes.size()) != AtomicWriteResult::Ok) {
            state.SkipWithError("write failed");
            break;
        }
    }
}
BENCHMARK(BM_AtomicWriteOnly)->UseRealTime();

void BM_FormatTrainReport(benchmark::State& state) {
    const Train& train = BigTrain();
    for (auto _ : state) benchmark::DoNotOptimize(FormatTrainReport(train.header, train.slots));
}
BENCHMARK(BM_FormatTrainReport);

std::vector<benchtable::Row> Tabulate(const benchtable::Runs& runs) {
    using benchtable::Format;
    using benchtable::SecondsPerIteration;
    std::vector<benchtable::Row> rows;
    const double checksum = SecondsPerIteration(runs, "BM_ChecksumOnly");
    auto ratio = [&](const char* name) {
        const double t = SecondsPerIteration(runs, name);
        return t > 0 ? checksum / t : 0.0;
    };
    const double mb = static_cast<double>(RadioStream().size()) / 1e6;
    if (checksum > 0) {
        rows.push_back({"ComputeChecksum alone (MB/s)", "-", Format("%.1f", mb / checksum), true});
    }
    const double production = ratio("BM_ReceiveMemoryPort/0");
    rows.push_back({"Receiver vs checksum: in-memory port, system clock", ">= 0.50",
                    Format("%.2f", production), production >= 0.5});
    rows.push_back({"  same, fake clock (clock read's share)", "(info)",
                    Format("%.2f", ratio("BM_ReceiveMemoryPort/1")), true});
    rows.push_back({"  same, lock-free array port, system clock", "(info)",
                    Format("%.2f", ratio("BM_ReceiveArrayPort/0")), true});
    rows.push_back({"  same, lock-free array port, fake clock", "(info)",
                    Format("%.2f", ratio("BM_ReceiveArrayPort/1")), true});

    const double report = SecondsPerIteration(runs, "BM_WriteTrainReport/real_time");
    const double single = SecondsPerIteration(runs, "BM_SingleWrite/0/real_time");
    const double singleFlushed = SecondsPerIteration(runs, "BM_SingleWrite/1/real_time");
    const double format = SecondsPerIteration(runs, "BM_FormatTrainReport");
    const double atomic = SecondsPerIteration(runs, "BM_AtomicWriteOnly/real_time");
    const double durable = SecondsPerIteration(runs, "BM_MinimalDurableWrite/1/real_time");
    const double durableNoFolder = SecondsPerIteration(runs, "BM_MinimalDurableWrite/0/real_time");
    if (report > 0 && durable > 0) {
        rows.push_back({"WriteTrainReport 1200 axles+HWD vs minimal durable write", "<= 1.25",
                        Format("%.2f", report / durable), report / durable <= 1.25});
        rows.push_back({"  WriteTrainReport time (ms)", "(info)", Format("%.2f", report * 1e3), true});
        rows.push_back({"  of which formatting (ms)", "(info)", Format("%.2f", format * 1e3), true});
        rows.push_back({"  of which the writer's temp file+write+fsync+rename (ms)", "(info)",
                        Format("%.2f", atomic * 1e3), true});
        rows.push_back({"  minimal durable write: write, fsync, rename, folder fsync (ms)", "(info)",
                        Format("%.2f", durable * 1e3), true});
        if (durableNoFolder > 0)
            rows.push_back({"  vs the same without the folder fsync", "(info)",
                            Format("%.2f", report / durableNoFolder), true});
        if (single > 0 && singleFlushed > 0)
            rows.push_back({"  one write(2); with fsync (ms)", "(info)",
                            Format("%.2f", single * 1e3) + "; " + Format("%.2f", singleFlushed * 1e3), true});
    }
    return rows;
}

}  // namespace

int main(int argc, char** argv) { return benchtable::RunAndTabulate(argc, argv, Tabulate); }
