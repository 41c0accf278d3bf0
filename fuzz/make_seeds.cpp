// Writes the seed inputs of the fuzz targets: kestova_fuzz_seeds <folder>
// makes <folder>/<target>/<name> for every seed. The radio streams are
// built with the collector's own frame code, so every frame in them is
// well-formed and carries a good checksum; the fuzzer starts from exchanges
// a site really has with the collector and mutates from there.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "radio/Frame.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint8_t kCollector = 250;

Bytes Frame(std::uint8_t source, std::uint8_t destination, std::uint8_t sequence,
            std::uint8_t type, const Bytes& payload) {
    return BuildFrame(source, destination, sequence, type, payload);
}

void Append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

void Le16(Bytes& to, std::size_t at, unsigned value) {
    WriteLe16(&to[at], static_cast<std::uint16_t>(value));
}

// A current-format train data stream: 12-byte prefix, 112-byte header,
// `axles` records of the given kind (16: 5 bytes, 15: 7 bytes), alarms.
Bytes CurrentTrain(unsigned axles, std::uint8_t kind, bool hwd, unsigned trainNumber) {
    const std::size_t record = kind == 15 ? 7 : 5;
    Bytes s(12 + 112, 0);
    s[0] = 2;
    s[1] = 112;
    s[2] = kind;
    Le16(s, 4, axles);
    Le16(s, 7, 2);
    std::uint8_t* h = s.data() + 12;
    h[1] = hwd ? 0x03 : 0x00;
    h[2] = 7;
    Le16(s, 12 + 5, trainNumber);
    h[8] = 'N';
    h[9] = 'B';
    const std::uint8_t stamp[6] = {24, 5, 6, 7, 8, 9};
    std::memcpy(h + 15, stamp, 6);
    std::memcpy(h + 21, stamp, 6);
    h[26] = 40;
    h[27] = 1;
    h[28] = 2;
    h[29] = 'S';
    Le16(s, 12 + 33, axles);
    h[39] = 0x10;
    h[48] = 3;
    h[55] = 35;
    for (unsigned a = 0; a < axles; ++a) {
        std::uint8_t r[7] = {static_cast<std::uint8_t>(40 + a % 50), static_cast<std::uint8_t>(30 + a % 40),
                             static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(a * 3),
                             static_cast<std::uint8_t>(a % 4 == 0 ? 0x80 : 0x00), 0x15, 0x22};
        s.insert(s.end(), r, r + record);
    }
    const std::uint8_t alarms[8] = {1, 0, 0x40, 0, 3, 0, 0x80, 0};
    s.insert(s.end(), alarms, alarms + 8);
    return s;
}

// A legacy stream: any version but 2, a 59-byte legacy header, 4- or
// 5-byte axle records and 3-byte alarm entries.
Bytes LegacyTrain(unsigned axles, bool fiveByte, unsigned alarms) {
    Bytes s(12 + 60, 0);
    s[0] = 1;
    s[1] = 60;
    Le16(s, 4, axles);
    Le16(s, 7, alarms);
    std::uint8_t* h = s.data() + 12;
    h[1] = 9;
    h[3] = 4;
    h[6] = 124;   // years counted from 1900
    h[7] = 5;
    h[8] = 6;
    h[9] = 7;
    h[10] = 8;
    h[11] = 124;
    h[22] = static_cast<std::uint8_t>(axles);
    if (fiveByte) h[39] = 1;
    h[53] = 0x11;
    h[55] = 3;
    for (unsigned a = 0; a < axles; ++a) {
        std::uint8_t r[5] = {static_cast<std::uint8_t>(50 + a), 44, static_cast<std::uint8_t>(a), 0x10,
                             static_cast<std::uint8_t>(a == 1 ? 0xC0 : 0)};
        s.insert(s.end(), r, r + (fiveByte ? 5 : 4));
    }
    for (unsigned k = 0; k < alarms && !fiveByte; ++k) {
        std::uint8_t e[3] = {static_cast<std::uint8_t>(k + 1), 0, static_cast<std::uint8_t>(k % 2 ? 0x40 : 0x80)};
        s.insert(s.end(), e, e + 3);
    }
    return s;
}

Bytes Powerup(std::uint8_t tracks, const char* unit) {
    Bytes p(17, 0);
    Le16(p, 0, 1234);
    Le16(p, 2, 500);
    p[4] = tracks;
    p[5] = 1;
    p[6] = 9;
    p[7] = 'A';
    p[8] = 'B';
    std::memcpy(p.data() + 9, unit, std::strlen(unit) < 7 ? std::strlen(unit) : 7);
    p[16] = 4;
    return p;
}

Bytes AllInOne(std::uint8_t site, std::uint8_t track, const Bytes& train) {
    Bytes payload(17, 0);
    Append(payload, train);
    return Frame(site, kCollector, track, 11, payload);
}

// A whole transfer: request, blocks (optionally one missing, then resent).
Bytes Transfer(std::uint8_t site, const Bytes& train, std::size_t blockSize, bool loseOne) {
    const std::size_t blocks = (train.size() + blockSize - 1) / blockSize;
    Bytes out;
    Bytes request = {static_cast<std::uint8_t>(blocks), static_cast<std::uint8_t>(blockSize & 0xFF),
                     static_cast<std::uint8_t>(blockSize >> 8)};
    Append(out, Frame(site, kCollector, 0, 10, request));
    auto block = [&](std::size_t n, std::uint8_t type) {
        const std::size_t from = (n - 1) * blockSize;
        const std::size_t to = from + blockSize < train.size() ? from + blockSize : train.size();
        return Frame(site, kCollector, static_cast<std::uint8_t>(n), type,
                     Bytes(train.begin() + static_cast<std::ptrdiff_t>(from),
                           train.begin() + static_cast<std::ptrdiff_t>(to)));
    };
    for (std::size_t n = 1; n <= blocks; ++n) {
        if (loseOne && n == 2 && blocks > 2) continue;
        Append(out, block(n, n == blocks ? 13 : 12));
    }
    if (loseOne && blocks > 2) {
        Append(out, block(2, 12));
        Append(out, block(blocks, 13));
    }
    return out;
}

void Write(const std::filesystem::path& folder, const std::string& target, const std::string& name,
           const Bytes& bytes) {
    std::filesystem::create_directories(folder / target);
    std::ofstream out(folder / target / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "cannot write %s/%s\n", target.c_str(), name.c_str());
        std::exit(1);
    }
}

// Worker inputs start with the mode byte (see RunWorker).
Bytes WorkerInput(std::uint8_t mode, const Bytes& stream) {
    Bytes out{mode};
    Append(out, stream);
    return out;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes ProfileInput(const std::string& section, const std::string& key, const std::string& value,
                   const std::string& file) {
    Bytes out;
    for (const std::string* s : {&section, &key, &value}) {
        out.push_back(static_cast<std::uint8_t>(s->size()));
        Append(out, Text(*s));
    }
    Append(out, Text(file));
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    const std::filesystem::path root = argv[1];

    // Worker: the exchanges a site has with the collector.
    const Bytes small = CurrentTrain(12, 16, true, 417);
    Write(root, "worker", "powerup-one-track", WorkerInput(0, Frame(12, kCollector, 0, 15, Powerup(1, "HALV001"))));
    Write(root, "worker", "powerup-two-tracks-tallquin",
          WorkerInput(0, Frame(14, kCollector, 0, 15, Powerup(2, "TAL0002"))));
    Write(root, "worker", "all-in-one-current", WorkerInput(0, AllInOne(12, 1, small)));
    Write(root, "worker", "all-in-one-legacy", WorkerInput(0, AllInOne(12, 0, LegacyTrain(6, false, 3))));
    Write(root, "worker", "all-in-one-legacy-5byte", WorkerInput(0, AllInOne(12, 0, LegacyTrain(6, true, 0))));
    Write(root, "worker", "transfer-three-blocks", WorkerInput(0, Transfer(12, CurrentTrain(60, 15, true, 7), 200, false)));
    Write(root, "worker", "transfer-lost-block-chunked",
          WorkerInput(0x04, Transfer(12, CurrentTrain(60, 16, false, 8), 120, true)));
    {
        // Another site talks while a transfer runs.
        const Bytes train = CurrentTrain(30, 16, true, 9);
        Bytes s = Transfer(12, train, 100, false);
        Bytes busy;
        Append(busy, Frame(20, kCollector, 0, 10, {3, 100, 0}));
        Append(busy, Frame(20, kCollector, 1, 12, Bytes(100, 0x33)));
        Append(busy, Frame(20, kCollector, 0, 14, {0}));
        Append(busy, Frame(20, kCollector, 0, 15, Powerup(1, "HALV020")));
        Append(busy, AllInOne(20, 2, CurrentTrain(4, 15, false, 10)));
        const std::size_t afterGrant = Frame(12, kCollector, 0, 10, {0, 0, 0}).size();
        s.insert(s.begin() + static_cast<std::ptrdiff_t>(afterGrant), busy.begin(), busy.end());
        Write(root, "worker", "transfer-with-other-sites", WorkerInput(0, s));
    }
    {
        Bytes s;
        Append(s, Frame(12, kCollector, 0, 10, {21, 0xE8, 0x03}));            // refused
        Append(s, Frame(12, 17, 0, 15, Powerup(1, "HALV001")));              // other collector
        const std::uint8_t noise[] = {0x00, 0x55, 0x13, 0xAA, 0xFE, 0x55, 0x55};
        s.insert(s.end(), noise, noise + sizeof noise);
        Bytes bad = Frame(12, kCollector, 0, 41, {1, 2, 3});
        bad[bad.size() - 2] ^= 0xFF;                                          // bad checksum
        Append(s, bad);
        Append(s, Frame(12, kCollector, 0, 99, {7}));                         // unknown type
        Write(root, "worker", "refusals-noise-and-strays", WorkerInput(0, s));
    }
    Write(root, "worker", "echo-request", WorkerInput(0x40, Bytes{17, 40, 0}));

    // Assembly: byte 0 even = All-in-One, odd = from blocks.
    auto assembly = [&](std::uint8_t how, const Bytes& stream) {
        Bytes out{how};
        Append(out, stream);
        return out;
    };
    Write(root, "assembly", "all-in-one-current-kind16-hwd", assembly(0, CurrentTrain(40, 16, true, 1)));
    Write(root, "assembly", "all-in-one-current-kind15", assembly(0, CurrentTrain(40, 15, false, 2)));
    Write(root, "assembly", "all-in-one-legacy-alarms", assembly(0, LegacyTrain(20, false, 5)));
    Write(root, "assembly", "all-in-one-legacy-5byte", assembly(0, LegacyTrain(20, true, 0)));
    Write(root, "assembly", "blocks-current-1200-axles", assembly(1, CurrentTrain(1200, 16, true, 3)));
    Write(root, "assembly", "blocks-legacy", assembly(1, LegacyTrain(8, false, 1)));

    // Caller registry files: whole, short, empty.
    {
        Bytes file(2560, 0);
        const Bytes entries[] = {Powerup(1, "HALV001"), Powerup(2, "TAL0002")};
        for (std::size_t i = 0; i < 3; ++i) {
            std::uint8_t* e = file.data() + i * 32;
            const Bytes& p = entries[i % 2];
            e[0] = static_cast<std::uint8_t>(12 + i);
            e[1] = p[0];
            e[2] = p[1];
            e[3] = 6;
            e[4] = 5;
            e[5] = 7;
            e[6] = 8;
            e[12] = p[2];
            e[13] = p[3];
            e[14] = static_cast<std::uint8_t>(1 + i % 2);
            e[15] = p[4];
            std::memcpy(e + 17, "AB", 2);
            std::memcpy(e + 20, p.data() + 9, 7);
            e[28] = 4;
            e[29] = static_cast<std::uint8_t>(1 + i);
        }
        Write(root, "callers", "three-entries", file);
        Write(root, "callers", "short-100-bytes", Bytes(file.begin(), file.begin() + 100));
        Bytes unterminated = file;
        std::memset(unterminated.data() + 17, 'X', 15);   // texts without their 0
        Write(root, "callers", "texts-without-terminator", unterminated);
    }

    // Profile files.
    Write(root, "profile", "radio-port",
          ProfileInput("Radio Serial Port", "Radio_Port", "5", "[Radio Serial Port]\r\nRadio_Port=3\r\n"));
    Write(root, "profile", "new-section",
          ProfileInput("Radio Serial Port", "Radio_Port", "-1", "; comment\n[Other]\nA = 1\n\n[Third]\nB=\"x\"\n"));
    Write(root, "profile", "bom-and-duplicates",
          ProfileInput("radio serial port", "RADIO_PORT", "12",
                       "\xEF\xBB\xBF[Radio Serial Port]\nRadio_Port = +7 \nRadio_Port=9\n[Radio Serial Port]\nRadio_Port=1"));

    // Port list trees (commands of RunPortList).
    Write(root, "portlist", "uarts-usb-and-links",
          Text("t ttyS0 serial8250 4\nt ttyS1 serial8250 0\nt ttyS10 serial8250 4\n"
               "t ttyUSB0 ftdi_sio\np ttyUSB0 FT232R USB UART\nn ttyUSB0\nn ttyS0\n"
               "b usb-FTDI_FT232R_A1B2-if00-port0 ttyUSB0\nl 5 dev/ttyUSB0\nl 7 dev/pts/3\no 0\n"));
    Write(root, "portlist", "unnumbered-adapter-physical-only",
          Text("t ttyACM0 cdc_acm\np ttyACM0 Radio (COM9) modem\nn ttyACM0\nt ttyS3 serial8250 4\no 3\n"));
    Write(root, "portlist", "looping-and-dangling-links",
          Text("l 2 Ports/COM3\nl 3 Ports/COM2\nl 4 dev/gone\nl 256 dev/ttyS0\nl 0 dev/ttyS0\nt ttyS0 serial\n"));
    return 0;
}
