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

// Which folder a program takes: the command line's, KESTOVA_HOME, its own
// folder in a build tree, else the installed program's default.
TEST_F(PathsTest, DataFolderOfAnInstalledProgramIsTheServiceOrTheUsersFolder) {
    struct Case {
        const char* option;
        const char* home;
        const char* xdg;
        const char* userHome;
        std::string programFolder;
        InstalledDataFolder kind;
        std::string folder;
        const char* origin;
    };
    const std::string build = folder_;  // writable: a build tree
    const Case cases[] = {
        {"/x/opt", "/x/home", nullptr, "/h", "/usr/bin", InstalledDataFolder::Service, "/x/opt/", "--data-folder"},
        {"", "/x/home/", nullptr, "/h", "/usr/bin", InstalledDataFolder::User, "/x/home/", "KESTOVA_HOME"},
        {"", nullptr, nullptr, "/h", build, InstalledDataFolder::Service, build + "/", "the program's folder"},
        {"", nullptr, nullptr, "/h", "/usr/bin", InstalledDataFolder::Service, "/var/lib/kestova/default/", "installed program"},
        {"", "", nullptr, "/h", "/usr/local/bin/", InstalledDataFolder::Service, "/var/lib/kestova/default/", "installed program"},
        {"", nullptr, "/x/xdg", "/h", "/usr/bin", InstalledDataFolder::User, "/x/xdg/kestova/", "installed program"},
        {"", nullptr, nullptr, "/h", "/usr/bin", InstalledDataFolder::User, "/h/.local/share/kestova/", "installed program"},
        {"", nullptr, "relative", "/h/", "/bin", InstalledDataFolder::User, "/h/.local/share/kestova/", "installed program"},
    };
    const char* savedXdg = std::getenv("XDG_DATA_HOME");
    const std::string xdgBefore = savedXdg != nullptr ? savedXdg : "";
    const std::string homeBefore = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
    auto setOrUnset = [](const char* name, const char* value) {
        if (value != nullptr) ::setenv(name, value, 1);
        else ::unsetenv(name);
    };
    for (const Case& c : cases) {
        setOrUnset("KESTOVA_HOME", c.home);
        setOrUnset("XDG_DATA_HOME", c.xdg);
        setOrUnset("HOME", c.userHome);
        SetDataFolderChoice(c.option, c.kind);
        std::string origin;
        EXPECT_EQ(ResolveDataFolder(c.programFolder, &origin), c.folder) << c.programFolder;
        EXPECT_EQ(origin, c.origin) << c.folder;
    }
    SetDataFolderChoice("", InstalledDataFolder::Service);
    setOrUnset("XDG_DATA_HOME", savedXdg != nullptr ? xdgBefore.c_str() : nullptr);
    ::setenv("HOME", homeBefore.c_str(), 1);
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
