// The data folder and the device a port index stands for.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/JournalStream.h"
#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace {

class PathsTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* home = std::getenv("KESTOVA_HOME");
        hadHome_ = home != nullptr;
        if (hadHome_) savedHome_ = home;
        char tmpl[] = "/tmp/kestova-paths-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        folder_ = tmpl;
    }
    void TearDown() override {
        if (hadHome_) ::setenv("KESTOVA_HOME", savedHome_.c_str(), 1);
        else ::unsetenv("KESTOVA_HOME");
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
    // The data folder of this test program, and how it was chosen.
    static std::string ProgramFolder(std::string* origin) { return ProgramDataFolder({}, origin); }
    std::string Data() const { return folder_ + "/"; }
    std::string folder_, savedHome_;
    bool hadHome_ = false;
};

TEST_F(PathsTest, DataFolderComesFromKestovaHomeOrTheProgramFile) {
    std::string origin;
    ::setenv("KESTOVA_HOME", folder_.c_str(), 1);
    EXPECT_EQ(ProgramFolder(&origin), folder_ + "/");
    EXPECT_EQ(origin, "KESTOVA_HOME");
    ::setenv("KESTOVA_HOME", (folder_ + "/").c_str(), 1);
    EXPECT_EQ(ProgramFolder(&origin), folder_ + "/");  // never a doubled slash

    ::unsetenv("KESTOVA_HOME");
    const std::string program = fs::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(ProgramFolder(&origin), program.substr(0, program.rfind('/') + 1));
    EXPECT_EQ(origin, "the program's folder");
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
        std::string origin;
        EXPECT_EQ(ResolveDataFolder({c.option, c.kind}, c.programFolder, &origin), c.folder)
            << c.programFolder;
        EXPECT_EQ(origin, c.origin) << c.folder;
    }
    setOrUnset("XDG_DATA_HOME", savedXdg != nullptr ? xdgBefore.c_str() : nullptr);
    ::setenv("HOME", homeBefore.c_str(), 1);
}

TEST_F(PathsTest, PortIndexUsesItsLinkUnderPortsElseTheSerialDevice) {
    EXPECT_EQ(PortDevicePath(Data(), 0), "/dev/ttyS0");
    EXPECT_EQ(PortDevicePath(Data(), 255), "/dev/ttyS255");
    EXPECT_EQ(PortLinkPath(Data(), 255), folder_ + "/Ports/COM256");

    fs::create_directories(folder_ + "/Ports");
    fs::create_symlink("/dev/null", folder_ + "/Ports/COM1");
    fs::create_symlink("/dev/null", folder_ + "/Ports/COM256");
    // A link whose device is unplugged still names the port: the port must
    // not fall back to some other device.
    fs::create_symlink(folder_ + "/gone", folder_ + "/Ports/COM3");
    EXPECT_EQ(PortDevicePath(Data(), 0), folder_ + "/Ports/COM1");
    EXPECT_EQ(PortDevicePath(Data(), 255), folder_ + "/Ports/COM256");
    EXPECT_EQ(PortDevicePath(Data(), 2), folder_ + "/Ports/COM3");
    EXPECT_EQ(PortDevicePath(Data(), 1), "/dev/ttyS1");
    // Each data folder has its own links: another folder's COM1 is the device.
    EXPECT_EQ(PortDevicePath(folder_ + "/Ports/", 0), "/dev/ttyS0");
}

}  // namespace

// The journal's priority prefixes are written only to the stream systemd
// named: its device and inode, nothing less.
TEST(JournalStream, OnlyTheStreamJournalStreamNames) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    struct stat st {};
    ASSERT_EQ(::fstat(::fileno(file), &st), 0);
    const std::string named = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    EXPECT_TRUE(IsJournalStream(::fileno(file), named.c_str()));
    for (const std::string& other : {std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1),
                                    named + "x", named.substr(0, named.find(':')), std::string("")})
        EXPECT_FALSE(IsJournalStream(::fileno(file), other.c_str())) << other;
    EXPECT_FALSE(IsJournalStream(::fileno(file), nullptr));
    std::fclose(file);
}
