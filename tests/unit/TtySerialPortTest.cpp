// The real tty port on pseudo-terminals: line settings, exclusive use,
// buffered reads, whole writes, and surviving a device that goes away.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/LinkStatus.h"
#include "platform/Paths.h"
#include "platform/PortServices.h"
#include "platform/TtySerialPort.h"
#include "unit/TestSupport.h"

namespace fs = std::filesystem;
using testsupport::WorkerHarness;
using RadioTty = DeviceSerialPort<TtySerialPort>;  // as a collector owns it

namespace {

struct Pty {
    int master = -1;
    int slave = -1;
    std::string name;

    Pty() {
        char buffer[128] = {};
        if (::openpty(&master, &slave, buffer, nullptr, nullptr) == 0) name = buffer;
    }
    ~Pty() { Close(); }
    void Close() {
        if (master >= 0) ::close(master);
        if (slave >= 0) ::close(slave);
        master = slave = -1;
    }
    void Send(const std::vector<std::uint8_t>& bytes) const {
        ASSERT_EQ(::write(master, bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
};

class TtySerialPortTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(folder_ + "/Ports"); }
    // Hands the port what its collector would: the data folder with the
    // port links, the scope, the link status and the (fake) clock.
    void Attach(RadioTty& port) {
        PortServices services;
        services.dataFolder = folder_ + "/";
        services.out = &h_.C();
        services.link = &link_;
        services.clock = &h_.clock;
        port.Attach(services);
    }
    // Points "Ports/COM<index+1>" at target, replacing any earlier link.
    void Link(std::uint8_t index, const std::string& target) {
        const std::string link = PortLinkPath(folder_ + "/", index);
        std::error_code ec;
        fs::remove(link, ec);
        fs::create_symlink(target, link);
    }
    std::vector<std::string> LinesContaining(const std::string& word) {
        std::vector<std::string> out;
        for (const std::string& line : h_.window->Lines())
            if (line.find(word) != std::string::npos) out.push_back(line);
        return out;
    }
    // Reads every byte the port has now.
    static std::vector<std::uint8_t> Drain(TtySerialPort& port) {
        std::vector<std::uint8_t> out;
        for (std::int32_t c; (c = port.ReadChar()) >= 0;) out.push_back(static_cast<std::uint8_t>(c));
        return out;
    }

    WorkerHarness h_;  // data folder, fake clock and a recording scope view
    const std::string folder_ = h_.folder.Path().string();
    LinkWatch link_;
};

TEST_F(TtySerialPortTest, OpensRaw19200EightNoneOneWithoutFlowControl) {
    Pty pty;
    ASSERT_FALSE(pty.name.empty());
    Link(2, pty.name);
    RadioTty port;
    Attach(port);
    ASSERT_TRUE(port.Open(2));
    EXPECT_EQ(port.portIndex, 2);
    EXPECT_EQ(port.DevicePath(), folder_ + "/Ports/COM3");
    const LinkStatus status = link_.Get();
    EXPECT_EQ(status.state, LinkState::Open);
    EXPECT_EQ(status.comNumber, 3);
    EXPECT_EQ(status.device, pty.name) << "the device behind the link";

    termios tio{};
    ASSERT_EQ(::tcgetattr(pty.slave, &tio), 0);
    EXPECT_EQ(::cfgetispeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_TRUE(LinesContaining("ERROR").empty());
}

TEST_F(TtySerialPortTest, ReadsAreBufferedAndKeepEveryByteInOrder) {
    Pty pty;
    Link(0, pty.name);
    RadioTty port;
    Attach(port);
    ASSERT_TRUE(port.Open(0));
    EXPECT_EQ(port.ReadChar(), -1);  // nothing yet: "no byte", the port stays open
    EXPECT_FALSE(port.InputWaiting());
    EXPECT_FALSE(port.WaitForInput(1));

    std::vector<std::uint8_t> sent(3000);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i * 7);
    sent[10] = 0xFE;  // bytes a cooked line would have eaten or changed
    sent[11] = 0x11;  // XON
    sent[12] = 0x13;  // XOFF
    sent[13] = '\r';
    sent[14] = 0x03;  // interrupt character
    bool woke = false;  // the idle wait ends with the first byte
    std::thread reader([&] { woke = port.WaitForInput(600000); });
    pty.Send(sent);
    reader.join();
    EXPECT_TRUE(woke);

    const std::uint64_t callsBefore = port.ReadCalls();
    std::vector<std::uint8_t> got = Drain(port);
    EXPECT_EQ(got, sent);
    EXPECT_FALSE(port.InputWaiting());
    // One read() per buffer refill, not one per byte.
    EXPECT_LE(port.ReadCalls() - callsBefore, 8u);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_TRUE(LinesContaining("ERROR").empty());
}

TEST_F(TtySerialPortTest, WritesTheWholeFrameEvenWhenTheLineFillsUp) {
    Pty pty;
    Link(0, pty.name);
    RadioTty port;
    Attach(port);
    ASSERT_TRUE(port.Open(0));

    // Larger than the pseudo-terminal's buffer, so the write must wait for
    // the far end to take bytes.
    std::vector<std::uint8_t> frame(20000);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i % 251);
    std::vector<std::uint8_t> received;
    std::thread reader([&] {
        std::uint8_t chunk[1024];
        while (received.size() < frame.size()) {
            pollfd p{pty.master, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) break;
            ssize_t n = ::read(pty.master, chunk, sizeof chunk);
            if (n <= 0) break;
            received.insert(received.end(), chunk, chunk + n);
        }
    });
    port.Write(frame.data(), frame.size());
    reader.join();
    EXPECT_EQ(received, frame);
    EXPECT_TRUE(LinesContaining("ERROR").empty());
}

TEST_F(TtySerialPortTest, SecondOpenOfTheSameDeviceIsRefusedClearly) {
    Pty pty;
    Link(0, pty.name);
    auto first = std::make_unique<RadioTty>();
    Attach(*first);
    ASSERT_TRUE(first->Open(0));

    RadioTty second;
    Attach(second);
    EXPECT_FALSE(second.Open(0));
    EXPECT_EQ(second.portIndex, 0);
    EXPECT_EQ(link_.Get().state, LinkState::NotOpen);
    auto errors = LinesContaining("ERROR");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("COMM 1"), std::string::npos);
    EXPECT_NE(errors[0].find("Ports/COM1"), std::string::npos);
    EXPECT_NE(errors[0].find("in use by another program"), std::string::npos);

    // Once the first lets go, the second gets the device at its next try.
    first.reset();
    h_.clock.Advance(TtySerialPort::REOPEN_INTERVAL_MS);
    EXPECT_EQ(second.ReadChar(), -1);
    EXPECT_TRUE(second.IsOpen());
    EXPECT_EQ(LinesContaining(") opened").size(), 1u);
}

TEST_F(TtySerialPortTest, LostPortIsReopenedOncePerSecondAndReportedOnce) {
    auto pty = std::make_unique<Pty>();
    Link(4, pty->name);
    RadioTty port;
    Attach(port);
    ASSERT_TRUE(port.Open(4));
    pty->Send({1, 2, 3});
    EXPECT_EQ(Drain(port), (std::vector<std::uint8_t>{1, 2, 3}));

    // The far end goes away; the link now points nowhere.
    pty.reset();
    EXPECT_EQ(port.ReadChar(), -1);
    EXPECT_FALSE(port.IsOpen());
    auto errors = LinesContaining("ERROR");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("ERROR", 0), 0u);
    EXPECT_NE(errors[0].find("COMM 5"), std::string::npos);
    EXPECT_NE(errors[0].find("lost"), std::string::npos);
    EXPECT_EQ(link_.Get().state, LinkState::Lost);
    const auto lost = h_.Events();
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0].kind, EventKind::PortLost);
    EXPECT_EQ(lost[0].text, folder_ + "/Ports/COM5");

    // Many idle cycles and failed retries while it is away: still one line,
    // and writes are dropped without fuss.
    const std::uint8_t frame[] = {0x55, 0xAA, 0xFA, 0x11};
    for (int i = 0; i < 10; ++i) {
        h_.clock.Advance(500);
        EXPECT_EQ(port.ReadChar(), -1);
        port.Write(frame, sizeof frame);
    }
    EXPECT_EQ(LinesContaining("ERROR").size(), 1u);

    // A new device behind the same link: taken at the first attempt that
    // is a whole second after the last one.
    Pty second;
    Link(4, second.name);
    second.Send({9});
    h_.clock.Advance(TtySerialPort::REOPEN_INTERVAL_MS - 1);
    EXPECT_EQ(port.ReadChar(), -1);
    EXPECT_FALSE(port.IsOpen());
    h_.clock.Advance(1);
    EXPECT_EQ(Drain(port), (std::vector<std::uint8_t>{9}));
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(LinesContaining("is back").size(), 1u);
    EXPECT_EQ(LinesContaining("ERROR").size(), 1u);
    EXPECT_EQ(link_.Get().state, LinkState::Open);
    EXPECT_EQ(link_.Get().device, second.name);
    EXPECT_EQ(h_.Events().back().kind, EventKind::PortBack);
}

TEST_F(TtySerialPortTest, PortMissingAtStartIsOpenedWhenItAppears) {
    Link(7, folder_ + "/no-such-device");
    RadioTty port;
    Attach(port);
    EXPECT_FALSE(port.Open(7));
    EXPECT_EQ(port.portIndex, 0);  // a failed open keeps the earlier index
    auto errors = LinesContaining("ERROR");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("COMM 8"), std::string::npos);
    EXPECT_NE(errors[0].find("could not be opened: " + std::generic_category().message(ENOENT)),
              std::string::npos);

    Pty pty;
    Link(7, pty.name);
    h_.clock.Advance(TtySerialPort::REOPEN_INTERVAL_MS);
    EXPECT_EQ(port.ReadChar(), -1);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(LinesContaining(") opened").size(), 1u);
    EXPECT_EQ(LinesContaining("ERROR").size(), 1u);
}

TEST_F(TtySerialPortTest, SomethingThatIsNotATerminalIsRefused) {
    const std::string file = folder_ + "/plain.bin";
    { std::FILE* f = std::fopen(file.c_str(), "w"); ASSERT_NE(f, nullptr); std::fclose(f); }
    Link(0, file);
    RadioTty port;
    Attach(port);
    EXPECT_FALSE(port.Open(0));
    EXPECT_EQ(port.ReadChar(), -1);
    EXPECT_NE(LinesContaining("ERROR").at(0).find(std::generic_category().message(ENOTTY)),
              std::string::npos);
}

}  // namespace
