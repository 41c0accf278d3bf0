// The data folder and the device a port index stands for.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/Globals.h"
#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace {

class PathsTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = exeDirectory;
        const char* home = std::getenv("KESTOVA_HOME");
        hadHome_ = home != nullptr;
        if (hadHome_) savedHome_ = home;
        char tmpl[] = "/tmp/kestova-paths-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        folder_ = tmpl;
        exeDirectory = folder_ + "/";
    }
    void TearDown() override {
        exeDirectory = saved_;
        if (hadHome_) ::setenv("KESTOVA_HOME", savedHome_.c_str(), 1);
        else ::unsetenv("KESTOVA_HOME");
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
    std::string folder_, saved_, savedHome_;
    bool hadHome_ = false;
};

TEST_F(PathsTest, DataFolderComesFromKestovaHomeOrTheProgramFile) {
    ::setenv("KESTOVA_HOME", folder_.c_str(), 1);
    InitExeDirectory();
    EXPECT_EQ(exeDirectory, folder_ + "/");
    ::setenv("KESTOVA_HOME", (folder_ + "/").c_str(), 1);
    InitExeDirectory();
    EXPECT_EQ(exeDirectory, folder_ + "/");  // never a doubled slash
    EXPECT_EQ(DataPath("Temp/RemoteCaller.txt"), folder_ + "/Temp/RemoteCaller.txt");

    ::unsetenv("KESTOVA_HOME");
    InitExeDirectory();
    const std::string program = fs::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(exeDirectory, program.substr(0, program.rfind('/') + 1));
}

TEST_F(PathsTest, PortIndexUsesItsLinkUnderPortsElseTheSerialDevice) {
    EXPECT_EQ(PortDevicePath(0), "/dev/ttyS0");
    EXPECT_EQ(PortDevicePath(255), "/dev/ttyS255");
    EXPECT_EQ(PortLinkPath(255), folder_ + "/Ports/COM256");

    fs::create_directories(folder_ + "/Ports");
    fs::create_symlink("/dev/null", folder_ + "/Ports/COM1");
    fs::create_symlink("/dev/null", folder_ + "/Ports/COM256");
    // A link whose device is unplugged still names the port: the port must
    // not fall back to some other device.
    fs::create_symlink(folder_ + "/gone", folder_ + "/Ports/COM3");
    EXPECT_EQ(PortDevicePath(0), folder_ + "/Ports/COM1");
    EXPECT_EQ(PortDevicePath(255), folder_ + "/Ports/COM256");
    EXPECT_EQ(PortDevicePath(2), folder_ + "/Ports/COM3");
    EXPECT_EQ(PortDevicePath(1), "/dev/ttyS1");
}

}  // namespace
