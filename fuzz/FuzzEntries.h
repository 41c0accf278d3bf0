#pragma once
// What each fuzz target does with one input. The libFuzzer programs call
// these, and so does the unit test that replays the inputs kept in
// fuzz/regressions/, so a crash found once stays found in every build.
//
// Every entry runs the real code on a collector of its own, made afresh for
// each input: a scratch data folder in memory-backed storage, the fake
// clock, an in-memory radio port and a scope view that checks what it is
// shown. Beyond not crashing, each entry checks a few properties that must
// hold for any input (frames on the air well-formed, report names made of
// numbers only, the registry count matching the file); a broken property
// aborts like a crash.
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "common/LogLine.h"
#include "common/Output.h"
#include "common/ScopeEntry.h"
#include "engine/Assembly.h"
#include "engine/Collector.h"
#include "engine/Worker.h"
#include "platform/Clock.h"
#include "platform/PortList.h"
#include "platform/Profile.h"
#include "radio/Frame.h"
#include "radio/Link.h"
#include "radio/Receiver.h"
#include "radio/SerialPort.h"
#include "records/Callers.h"
#include "records/TrainReport.h"

#define KESTOVA_FUZZ_CHECK(condition)                                                      \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__,     \
                         #condition);                                                      \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

namespace kestova_fuzz {

namespace fs = std::filesystem;

// The bytes of a scope dump ("55 AA 03 ...", lines broken and indented).
inline std::vector<std::uint8_t> DumpBytes(const std::string& dump) {
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (char c : dump) {
        int v = -1;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        if (v < 0) {
            KESTOVA_FUZZ_CHECK(high < 0);  // no half bytes
            continue;
        }
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    KESTOVA_FUZZ_CHECK(high < 0);
    return bytes;
}

// A scope view that takes every entry the way a pane would and checks it:
// texts end within the log line buffer, frame dumps are whole frames.
class CheckingView final : public IScopeView {
public:
    void Show(const ScopeEntry& entry) override {
        if (entry.channel == ScopeChannel::Info) {
            KESTOVA_FUZZ_CHECK(entry.body.size() < LOG_LINE_BUFFER);
            touched += entry.body.size();
            ++lines;
        } else if (entry.channel == ScopeChannel::Field || entry.channel == ScopeChannel::Collect) {
            const std::vector<std::uint8_t> bytes = DumpBytes(entry.body);
            const bool field = entry.channel == ScopeChannel::Field;
            KESTOVA_FUZZ_CHECK(bytes.size() >= FRAME_OVERHEAD);
            KESTOVA_FUZZ_CHECK(bytes.size() <= (field ? FRAME_MAX_HELD : TX_BUFFER_SIZE));
            KESTOVA_FUZZ_CHECK(bytes[0] == FRAME_START_1 && bytes[1] == FRAME_START_2);
            KESTOVA_FUZZ_CHECK(bytes.back() == FRAME_END);
            for (std::uint8_t b : bytes) touched += b;
            ++dumps;
        } else {
            KESTOVA_FUZZ_CHECK(!"unexpected scope entry");
        }
    }
    void EchoLine(const std::string& text) override {
        KESTOVA_FUZZ_CHECK(text.size() < LOG_LINE_BUFFER);
        touched += text.size();
        ++lines;
    }
    std::uint64_t touched = 0;
    std::uint64_t lines = 0;
    std::uint64_t dumps = 0;
};

inline void RemoveFolderContents(const std::string& folder) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) fs::remove_all(entry.path(), ec);
}

inline void WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    KESTOVA_FUZZ_CHECK(out.good());
}

inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The scratch data folder, the fake clock and the checking scope view the
// entries run against, and the collector of the input being run. The data
// folder lives in /dev/shm when there is one: the writers flush every file
// to the disk, which costs nothing there.
class Environment {
public:
    Environment() {
        const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr;
        if (base == nullptr) base = std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "/tmp";
        std::string pattern = std::string(base) + "/kestova-fuzz-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        KESTOVA_FUZZ_CHECK(::mkdtemp(name.data()) != nullptr);
        folder = std::string(name.data()) + "/";
        window = std::make_shared<CheckingView>();
        NewCollector();
    }
    ~Environment() {
        clock.SetSleepHook(nullptr);
        collector.reset();
        std::error_code ec;
        fs::remove_all(folder, ec);
    }
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

    // Back to the state of a fresh start between two inputs: an empty data
    // folder and a new collector (empty registry, idle receiver, no echo
    // asked for) on a new, empty port. The clock runs on.
    void ResetForInput() {
        clock.SetSleepHook(nullptr);
        collector.reset();
        RemoveFolderContents(folder);
        NewCollector();
    }

    std::string folder;  // ends in '/'
    FakeClock clock;
    std::shared_ptr<CheckingView> window;
    std::unique_ptr<Collector> collector;
    MemorySerialPort* port = nullptr;  // the collector's

private:
    // No daily scope log: the entries check what the view is shown.
    void NewCollector() {
        CollectorSetup setup;
        setup.dataFolder = folder;
        auto owned = std::make_unique<MemorySerialPort>();
        port = owned.get();
        setup.port = std::move(owned);
        setup.clock = &clock;
        setup.scopeLog = false;
        collector = std::make_unique<Collector>(std::move(setup));
        collector->SetScopeView(window);
    }
};

// The fuzz programs keep one environment for the whole run.
inline Environment& ProcessEnvironment() {
    static Environment* environment = new Environment();
    static const bool cleanup = [] {
        std::atexit([] { delete environment; });
        return true;
    }();
    (void)cleanup;
    return *environment;
}

// Gives every frame the receiver would complete in `bytes` its correct
// checksum, using the receiver itself to find the frames. Framing depends
// only on start bytes, length fields and end bytes, never on the checksum,
// so the stream is framed the same way afterwards; the difference is that
// a build that checks checksums now accepts the frames too. This lets an
// input found with the any-checksum build replay in an ordinary one.
// `feed` must be empty; it is empty again after. The receiver used here
// has a link of its own, which tells nobody what it receives.
inline void FixFrameChecksums(MemorySerialPort& feed, std::vector<std::uint8_t>& bytes) {
    FakeClock clock;
    NullOutput quiet;
    auto link = std::make_unique<RadioLink>(feed, clock, quiet);
    FrameLexer& rx = link->rx;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        // Would this byte complete a frame? Then patch the checksum (already
        // stored in rxBuffer) before the receiver tests it.
        if (rx.inPacket == 1 && bytes[i] == FRAME_END && rx.rxCount < static_cast<std::int32_t>(FRAME_MAX_HELD)) {
            rx.rxBuffer[rx.rxCount] = bytes[i];
            ++rx.rxCount;
            const bool completes = IsFrameComplete(*link);
            --rx.rxCount;
            if (completes) {
                const std::int32_t n = rx.rxCount + 1;
                const std::uint16_t sum =
                    ComputeChecksum(rx.rxBuffer.data(), static_cast<std::uint16_t>(n - 3));
                WriteLe16(rx.rxBuffer.data() + n - 3, sum);
                WriteLe16(bytes.data() + i - 2, sum);
            }
        }
        feed.Feed(&bytes[i], 1);
        if (ReceivePacket(*link)) ResetReceiver(*link);
    }
}

// Every frame the collector wrote must be whole and correct.
inline void CheckFramesOnTheAir(const std::vector<std::uint8_t>& written) {
    std::size_t at = 0;
    while (at < written.size()) {
        KESTOVA_FUZZ_CHECK(written.size() - at >= FRAME_OVERHEAD);
        const std::uint8_t* frame = written.data() + at;
        KESTOVA_FUZZ_CHECK(frame[0] == FRAME_START_1 && frame[1] == FRAME_START_2);
        KESTOVA_FUZZ_CHECK(frame[2] == COLLECTOR_ID);
        const std::size_t length = ReadLe16(frame + 5);
        KESTOVA_FUZZ_CHECK(length >= FRAME_OVERHEAD && length <= TX_BUFFER_SIZE);
        KESTOVA_FUZZ_CHECK(at + length <= written.size());
        KESTOVA_FUZZ_CHECK(frame[length - 1] == FRAME_END);
        KESTOVA_FUZZ_CHECK(ReadLe16(frame + length - 3) ==
                           ComputeChecksum(frame, static_cast<std::uint16_t>(length - 3)));
        at += length;
    }
}

// Report files must be named from numbers only.
inline void CheckReportNames(const std::string& folder) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder + REPORT_FOLDER, ec)) {
        const std::string name = entry.path().filename().string();
        const std::size_t dot = name.find(".GEM.HBD.");
        KESTOVA_FUZZ_CHECK(dot != std::string::npos);
        KESTOVA_FUZZ_CHECK(name.size() > 4 && name.compare(name.size() - 4, 4, ".txt") == 0);
        for (std::size_t i = 0; i < dot; ++i)
            KESTOVA_FUZZ_CHECK((name[i] >= '0' && name[i] <= '9') || name[i] == '_');
        // The train number, then "-<n>" when another train had the name first.
        const std::size_t end = name.size() - 4;
        const std::size_t dash = name.find('-', dot + 9);
        for (std::size_t i = dot + 9; i < end; ++i)
            KESTOVA_FUZZ_CHECK((name[i] >= '0' && name[i] <= '9') || (i == dash && i + 1 < end));
    }
}

// The worker fed arbitrary bytes. Input byte 0 steers the run: bits 0-5
// give the number of bytes that arrive per 500 ms pause in units of 16 (0 =
// everything is waiting before the first cycle); bit 6 raises an echo request
// whose site and length come from bytes 1-3. The rest is the radio stream.
inline int RunWorker(Environment& env, const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    env.ResetForInput();
    Collector& collector = *env.collector;
    const std::uint8_t mode = data[0];
    std::size_t skip = 1;
    if ((mode & 0x40) != 0 && size >= 4) {
        collector.RequestEcho(data[1], static_cast<std::int16_t>(data[2] | (data[3] << 8)));
        skip = 4;
    }
    std::vector<std::uint8_t> stream(data + skip, data + size);
    FixFrameChecksums(*env.port, stream);

    const std::size_t chunk = (mode & 0x3F) == 0 ? stream.size() : (mode & 0x3F) * 16u;
    std::size_t fed = 0;
    auto feedChunk = [&] {
        const std::size_t n = stream.size() - fed < chunk ? stream.size() - fed : chunk;
        if (n > 0) env.port->Feed(stream.data() + fed, n);
        fed += n;
    };
    feedChunk();
    env.clock.SetSleepHook([&](std::uint32_t) { feedChunk(); });

    // Every cycle either handles a frame, consumes bytes or lets a chunk in;
    // once the stream is used up a cycle pauses and changes nothing more.
    const std::size_t limit = stream.size() + stream.size() / (chunk == 0 ? 1 : chunk) + 8;
    for (std::size_t cycle = 0; cycle < limit; ++cycle) {
        const bool handled = RunCollectorCycle(collector);
        if (!handled && fed == stream.size() && env.port->Pending() == 0) break;
    }
    env.clock.SetSleepHook(nullptr);
    const std::int32_t held = collector.Link().rx.rxCount;
    KESTOVA_FUZZ_CHECK(held >= 0 && held <= static_cast<std::int32_t>(FRAME_MAX_HELD));
    CheckFramesOnTheAir(env.port->TakeWritten());
    CheckReportNames(env.folder);
    return 0;
}

// AssembleAllInOne (input byte 0 even) or AssembleFromBlocks (odd) on the
// rest of the input, then WriteTrainReport. The stream is copied to a buffer
// of exactly its size so that any read past it is caught.
inline int RunAssembly(Environment& env, const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    env.ResetForInput();
    const bool fromBlocks = (data[0] & 1) != 0;
    std::unique_ptr<std::uint8_t[]> stream(new std::uint8_t[size - 1]);
    if (size > 1) std::memcpy(stream.get(), data + 1, size - 1);
    auto record = std::make_unique<TrainRecord>();
    std::memset(record.get(), 0, sizeof(TrainRecord));
    if (fromBlocks) {
        AssembleFromBlocks(*record, stream.get(), size - 1);
    } else {
        AssembleAllInOne(*record, stream.get(), size - 1);
    }
    // The scratch folder is writable: the report must be written.
    KESTOVA_FUZZ_CHECK(WriteTrainReport(env.folder, record->header, record->axleSlots, *env.collector));
    const std::string name = TrainReportFileName(record->header);
    const std::string written = ReadWholeFile(env.folder + REPORT_FOLDER + "/" + name);
    KESTOVA_FUZZ_CHECK(written == FormatTrainReport(record->header, record->axleSlots));
    CheckReportNames(env.folder);
    return 0;
}

// "Callers.bin" with arbitrary content, loaded and listed.
inline int RunCallers(Environment& env, const std::uint8_t* data, std::size_t size) {
    env.ResetForInput();
    WriteWholeFile(env.folder + "Callers.bin", data, size);
    CallerRegistry& callers = env.collector->Callers();
    // The registry starts empty, so a short file fills the entries it
    // reaches and leaves the others free.
    int entries = 0;
    for (std::size_t i = 0; i * CALLER_ENTRY_SIZE < size && i < CALLER_TABLE_SIZE; ++i)
        if (data[i * CALLER_ENTRY_SIZE] != 0) ++entries;
    int used = -1;
    const bool whole = callers.Load(&used);
    KESTOVA_FUZZ_CHECK(whole == (size >= CALLERS_FILE_SIZE));
    KESTOVA_FUZZ_CHECK(used == entries);
    std::string listing;
    std::string why;
    const bool listed = callers.List(&listing, &why);
    KESTOVA_FUZZ_CHECK(listed == (entries > 0));
    if (listed) {
        const std::string text = ReadWholeFile(listing);
        KESTOVA_FUZZ_CHECK(text.rfind("ID_ Milepost", 0) == 0);
        KESTOVA_FUZZ_CHECK(text.size() >= 4 && text.compare(text.size() - 4, 4, "\r\n\r\n") == 0);
    } else {
        KESTOVA_FUZZ_CHECK(!why.empty());
    }
    return 0;
}

// The profile file reader and writer. Input: three length-prefixed texts
// (section, key, value; one length byte each), then the file content.
inline int RunProfile(Environment& env, const std::uint8_t* data, std::size_t size) {
    env.ResetForInput();
    std::size_t at = 0;
    auto take = [&]() {
        if (at >= size) return std::string();
        std::size_t n = data[at++];
        if (n > size - at) n = size - at;
        std::string s(reinterpret_cast<const char*>(data + at), n);
        at += n;
        return s;
    };
    const std::string section = take();
    const std::string key = take();
    const std::string value = take();
    const std::string path = env.folder + "K7_Dialups.ini";
    WriteWholeFile(path, data + at, size - at);

    (void)GetProfileInt(path, section, key, -1);
    (void)GetProfileString(path, section, key, "default");
    const std::string before = ReadWholeFile(path);
    if (WriteProfileString(path, section, key, value)) {
        // What was written reads back, as long as the value is one that
        // reading leaves alone (no surrounding blanks or quotes, no NUL).
        auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; };
        const bool plain = value.find('\0') == std::string::npos &&
                           section.find('\0') == std::string::npos &&
                           key.find('\0') == std::string::npos &&
                           (value.empty() || (!blank(value.front()) && !blank(value.back()))) &&
                           !(value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                             value.back() == value.front());
        if (plain) {
            KESTOVA_FUZZ_CHECK(GetProfileString(path, section, key, "\x01missing") == value);
        }
    } else {
        // A refused write leaves the file as it was.
        KESTOVA_FUZZ_CHECK(ReadWholeFile(path) == before);
    }
    return 0;
}

// The port list on a sysfs-like tree built from the input, one command per
// line, fields separated by blanks:
//   t NAME [DRIVER [TYPE]]  a tty NAME in class/tty with a device, its driver
//                           and its "type" attribute
//   p NAME TEXT             the product text of NAME's device
//   n NAME                  a device node dev/NAME
//   l NUMBER TARGET         a link Ports/COM<NUMBER> -> TARGET (inside the tree)
//   b ID NAME               dev/serial/by-id/ID -> ../../NAME
//   o FLAGS                 bit 0 present only, bit 1 physical only
// Names lose their slashes and ".." parts, so the tree stays in the folder;
// links may still dangle or loop inside it.
inline std::string SafeName(std::string s) {
    for (char& c : s)
        if (c == '/' || c == '\0') c = '_';
    if (s.empty() || s == "." || s == "..") s = "x";
    if (s.size() > 48) s.resize(48);
    return s;
}

inline std::string SafeTarget(const std::string& s) {
    std::string out;
    std::size_t at = 0;
    while (at <= s.size()) {
        std::size_t slash = s.find('/', at);
        if (slash == std::string::npos) slash = s.size();
        std::string part = s.substr(at, slash - at);
        if (!part.empty() && part != "..") {
            for (char& c : part)
                if (c == '\0') c = '_';
            if (!out.empty()) out += '/';
            out += part;
        }
        at = slash + 1;
    }
    if (out.size() > 200) out.resize(200);
    return out.empty() ? "x" : out;
}

inline int RunPortList(Environment& env, const std::uint8_t* data, std::size_t size) {
    env.ResetForInput();
    const std::string tree = env.folder + "tree/";
    PortListRoots roots;
    roots.sysClassTty = tree + "class/tty";
    roots.dev = tree + "dev";
    roots.portsDir = tree + "Ports";
    std::error_code ec;
    fs::create_directories(roots.sysClassTty, ec);
    fs::create_directories(roots.dev + "/serial/by-id", ec);
    fs::create_directories(roots.portsDir, ec);
    fs::create_directories(tree + "devices", ec);
    fs::create_directories(tree + "drivers", ec);

    const std::string text(reinterpret_cast<const char*>(data), size);
    int flags = 0;
    std::size_t commands = 0;
    std::size_t at = 0;
    while (at < text.size() && commands < 64) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        ++commands;
        std::vector<std::string> f;
        std::size_t p = 0;
        while (p < line.size() && f.size() < 4) {
            std::size_t q = line.find(' ', p);
            if (q == std::string::npos || f.size() == 3) q = line.size();
            if (q > p) f.push_back(line.substr(p, q - p));
            p = q + 1;
        }
        if (f.size() < 2) continue;
        const std::string name = SafeName(f[1]);
        if (f[0] == "t") {
            const fs::path ttyDir = fs::path(roots.sysClassTty) / name;
            const fs::path deviceDir = fs::path(tree) / "devices" / name;
            fs::create_directories(ttyDir, ec);
            fs::create_directories(deviceDir, ec);
            fs::create_directory_symlink("../../devices/" + name, ttyDir / "device", ec);
            if (f.size() >= 3) {
                const std::string driver = SafeName(f[2]);
                fs::create_directories(fs::path(tree) / "drivers" / driver, ec);
                fs::create_directory_symlink("../../drivers/" + driver, deviceDir / "driver", ec);
            }
            if (f.size() >= 4) {
                std::ofstream(ttyDir / "type") << f[3] << "\n";
            }
        } else if (f[0] == "p" && f.size() >= 3) {
            const fs::path deviceDir = fs::path(tree) / "devices" / name;
            fs::create_directories(deviceDir, ec);
            std::string product = f[2];
            if (f.size() >= 4) product += " " + f[3];
            std::ofstream(deviceDir / "product") << product << "\n";
        } else if (f[0] == "n") {
            std::ofstream(fs::path(roots.dev) / name) << "";
        } else if (f[0] == "l" && f.size() >= 3) {
            fs::create_symlink("../" + SafeTarget(f[2]), fs::path(roots.portsDir) / ("COM" + name), ec);
        } else if (f[0] == "b" && f.size() >= 3) {
            fs::create_symlink("../../" + SafeName(f[2]), fs::path(roots.dev) / "serial/by-id" / name, ec);
        } else if (f[0] == "o") {
            flags = std::atoi(f[1].c_str());
        }
    }

    std::vector<SerialPortEntry> list;
    EnumerateSerialPorts((flags & 1) != 0, (flags & 2) != 0, list, roots);
    for (std::size_t i = 0; i < list.size(); ++i) {
        const SerialPortEntry& entry = list[i];
        char number[16];
        std::snprintf(number, sizeof number, " %2d - ", static_cast<int>(i + 1));
        KESTOVA_FUZZ_CHECK(entry.text.rfind(number, 0) == 0);
        KESTOVA_FUZZ_CHECK(entry.portValue == -1 ||
                           ((entry.portValue & 0xFFFF) >= 0 && (entry.portValue & ~0x1FFFF) == 0));
        std::string why;
        const std::int32_t com = AcceptPortEntry(entry, roots, &why);
        if (entry.portValue != -1) {
            KESTOVA_FUZZ_CHECK(com == (entry.portValue & 0xFFFF));
        } else if (com > 0) {
            // A number given is a new link in the ports folder, nowhere else.
            KESTOVA_FUZZ_CHECK(com <= kHighestComNumber);
            KESTOVA_FUZZ_CHECK(fs::is_symlink(fs::path(roots.portsDir) / ("COM" + std::to_string(com)), ec));
        } else {
            KESTOVA_FUZZ_CHECK(com == -1 && !why.empty());
        }
    }
    return 0;
}

}  // namespace kestova_fuzz
