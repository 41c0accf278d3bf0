// Replays the fuzz targets' seed inputs and every input kept in
// fuzz/regressions/<target>/ through the same entries the fuzzers run, in
// this (checksum-checking) build: a fault the fuzzer once found stays found.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "FuzzEntries.h"

namespace fs = std::filesystem;

namespace {

using Entry = int (*)(kestova_fuzz::Environment&, const std::uint8_t*, std::size_t);

const std::map<std::string, Entry>& Entries() {
    static const std::map<std::string, Entry> entries = {
        {"worker", &kestova_fuzz::RunWorker},     {"assembly", &kestova_fuzz::RunAssembly},
        {"callers", &kestova_fuzz::RunCallers},   {"profile", &kestova_fuzz::RunProfile},
        {"portlist", &kestova_fuzz::RunPortList},
    };
    return entries;
}

// From the build's source folder: __FILE__ may be relative (a compiler cache
// rewrites paths), and the tests run in a folder of the build.
fs::path FuzzFolder() { return fs::path(KESTOVA_SOURCE_DIR) / "fuzz"; }

std::vector<std::uint8_t> ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every file under <kind>/<target>/ for every known target.
std::vector<std::pair<std::string, fs::path>> Inputs(const std::string& kind) {
    std::vector<std::pair<std::string, fs::path>> inputs;
    for (const auto& [target, entry] : Entries()) {
        (void)entry;
        std::error_code ec;
        for (const auto& file : fs::directory_iterator(FuzzFolder() / kind / target, ec))
            if (file.is_regular_file() && file.path().extension() != ".md") inputs.emplace_back(target, file.path());
    }
    return inputs;
}

void Replay(const std::string& kind) {
    for (const auto& [target, path] : Inputs(kind)) {
        SCOPED_TRACE(path.string());
        kestova_fuzz::Environment env;
        const std::vector<std::uint8_t> bytes = ReadBytes(path);
        EXPECT_EQ(Entries().at(target)(env, bytes.data(), bytes.size()), 0);
    }
}

std::size_t FilesIn(const fs::path& folder) {
    std::error_code ec;
    std::size_t n = 0;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        (void)entry;
        ++n;
    }
    return n;
}

}  // namespace

TEST(FuzzReplay, SeedsAndKeptCrashInputsRunCleanly) {
    ASSERT_FALSE(Inputs("corpus").empty()) << "no seeds under " << (FuzzFolder() / "corpus");
    Replay("corpus");
    Replay("regressions");
}

// The worker entry only finds faults deep in the collector if its inputs get
// there: in a build that checks checksums, the seeds' frames must still be
// accepted and a whole transfer must end in an ACK and a report.
TEST(FuzzReplay, WorkerSeedsReachTheTransferAndTheReport) {
    kestova_fuzz::Environment env;
    const std::vector<std::uint8_t> seed = ReadBytes(FuzzFolder() / "corpus/worker/transfer-lost-block-chunked");
    ASSERT_FALSE(seed.empty());

    // Spoil every frame's checksum first: the entry must mend them itself.
    std::vector<std::uint8_t> spoiled = seed;
    std::size_t frames = 0;
    for (std::size_t at = 1; at + FRAME_OVERHEAD <= spoiled.size(); ++frames) {
        const std::size_t length = ReadLe16(spoiled.data() + at + 5);
        ASSERT_GE(length, FRAME_OVERHEAD);
        spoiled[at + length - 3] ^= 0x5A;
        at += length;
    }
    EXPECT_GE(frames, 5u);
    ASSERT_EQ(kestova_fuzz::RunWorker(env, spoiled.data(), spoiled.size()), 0);
    EXPECT_EQ(FilesIn(env.folder + "Z918E"), 1u);
    // Every frame received was shown, and the grant, the resend request and
    // the ACK were sent.
    EXPECT_GE(env.window->dumps, frames + 3);
}

TEST(FuzzReplay, MendedChecksumsKeepTheFramingAndAreAccepted) {
    kestova_fuzz::Environment env;
    // Two frames with wrong checksums around noise, a third cut short.
    std::vector<std::uint8_t> a(16), b(20);
    const std::uint8_t payloadA[] = {1, 2, 3, 4, 5};
    const std::uint8_t payloadB[] = {0xFE, 0x55, 0xAA, 0xFE, 9, 9, 9, 9, 9};
    a.resize(BuildFrame(a.data(), a.size(), 3, COLLECTOR_ID, 0, 41, payloadA, sizeof payloadA));
    b.resize(BuildFrame(b.data(), b.size(), 4, 17, 0, 15, payloadB, sizeof payloadB));
    std::vector<std::uint8_t> stream = a;
    stream.insert(stream.end(), {0x13, 0x55, 0xFE});
    stream.insert(stream.end(), b.begin(), b.end());
    stream.insert(stream.end(), {0x55, 0xAA, 1, 2, 3, 0x20, 0x00, 0xFE});
    std::vector<std::uint8_t> spoiled = stream;
    spoiled[a.size() - 3] ^= 0xFF;
    spoiled[a.size() + 3 + b.size() - 2] ^= 0x01;

    kestova_fuzz::FixFrameChecksums(*env.port, spoiled);
    EXPECT_EQ(spoiled, stream);
    EXPECT_EQ(env.port->Pending(), 0u);
}
