// The profile file: how values are read, and that writing one value leaves
// the rest of the file as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <string>

#include "platform/Profile.h"

namespace fs = std::filesystem;

namespace {

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kestova-profile-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        folder_ = tmpl;
        path_ = folder_ + "/K7_Dialups.ini";
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
    void Put(const std::string& content) {
        std::ofstream(path_, std::ios::binary) << content;
    }
    std::string Content() {
        std::ifstream in(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    int Port(int fallback = -1) {
        return GetProfileInt(path_, "Radio Serial Port", "Radio_Port", fallback);
    }

    std::string folder_;
    std::string path_;
};

TEST_F(ProfileTest, WritingCreatesFileAndSectionAndReadsBack) {
    EXPECT_EQ(Port(), -1);  // no file
    ASSERT_TRUE(WriteProfileInt(path_, "Radio Serial Port", "Radio_Port", 5));
    EXPECT_EQ(Content(), "[Radio Serial Port]\nRadio_Port=5\n");
    EXPECT_EQ(Port(), 5);
    ASSERT_TRUE(WriteProfileInt(path_, "Radio Serial Port", "Radio_Port", 12));
    EXPECT_EQ(Content(), "[Radio Serial Port]\nRadio_Port=12\n");
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);
}

TEST_F(ProfileTest, ValuesReadLikeProfileIntegers) {
    const struct {
        const char* value;
        int expected;
    } cases[] = {
        {"3", 3},        {"  7  ", 7},   {"-1", -1},   {"+4", 4},
        {"abc", 0},      {"12abc", 12},  {"0", 0},     {"\"9\"", 9},
        {"99999999999", INT_MAX},        {"-99999999999", INT_MIN},
    };
    for (const auto& c : cases) {
        Put(std::string("[Radio Serial Port]\nRadio_Port=") + c.value + "\n");
        EXPECT_EQ(Port(-1), c.expected) << "value " << c.value;
    }
    // Nothing after "=" is the same as no key.
    Put("[Radio Serial Port]\nRadio_Port=\n");
    EXPECT_EQ(Port(-7), -7);
    EXPECT_EQ(ParseLeadingInt(" 300 "), 300);
    EXPECT_EQ(ParseLeadingInt(""), 0);
}

TEST_F(ProfileTest, SectionAndKeyMatchWithoutRegardToCase) {
    Put("[radio serial PORT]\r\n  RADIO_port = 3\r\n");
    EXPECT_EQ(Port(), 3);
    EXPECT_EQ(GetProfileString(path_, "Radio Serial Port", "radio_port", "x"), "3");
}

TEST_F(ProfileTest, OnlyTheNamedSectionAndRealKeyLinesCount) {
    Put("Radio_Port=1\n"                // before any section
        "[Other]\nRadio_Port=2\n"
        "[Radio Serial Port]\n"
        ";Radio_Port=3\n"               // commented out
        "Radio_Port_Old=4\n"
        "[Radio Serial Port Backup]\nRadio_Port=5\n");
    EXPECT_EQ(Port(), -1);
    EXPECT_EQ(GetProfileString(path_, "Other", "Radio_Port", ""), "2");
    EXPECT_EQ(GetProfileString(path_, "Missing", "Radio_Port", "dflt"), "dflt");
}

TEST_F(ProfileTest, WritingKeepsEverythingElseByteForByte) {
    const std::string before =
        "; dial-up settings\r\n"
        "[Modem]\r\n"
        "Init = ATZ\r\n"
        "\r\n"
        "[RADIO SERIAL PORT]\r\n"
        "Baud=19200\r\n"
        "radio_port = 3\r\n"
        "Trailing=1\r\n"
        "\r\n"
        "[Last]\r\n"
        "x=y";  // no line end at the very end
    Put(before);
    ASSERT_TRUE(WriteProfileInt(path_, "Radio Serial Port", "Radio_Port", 7));
    std::string expected = before;
    expected.replace(expected.find("radio_port = 3"), 14, "radio_port=7");
    EXPECT_EQ(Content(), expected);

    // A new key goes to the end of its section, in the file's own line ends.
    ASSERT_TRUE(WriteProfileString(path_, "Modem", "Dial", "ATDT"));
    expected.insert(expected.find("\r\n\r\n[RADIO") + 2, "Dial=ATDT\r\n");
    EXPECT_EQ(Content(), expected);

    // A new section goes after everything, after the unterminated last line.
    ASSERT_TRUE(WriteProfileString(path_, "New", "k", "v"));
    EXPECT_EQ(Content(), expected + "\r\n\r\n[New]\r\nk=v\r\n");
}

TEST_F(ProfileTest, TextThatWouldBreakTheFileIsRefused) {
    Put("[Radio Serial Port]\nRadio_Port=3\n");
    EXPECT_FALSE(WriteProfileString(path_, "Radio Serial Port", "Radio_Port", "4\n[Evil]"));
    EXPECT_FALSE(WriteProfileString(path_, "Radio Serial Port", "a=b", "1"));
    EXPECT_FALSE(WriteProfileString(path_, "A]B", "k", "1"));
    EXPECT_FALSE(WriteProfileString(path_, "Radio Serial Port", "", "1"));
    EXPECT_EQ(Content(), "[Radio Serial Port]\nRadio_Port=3\n");
}

// Runs `call` and fails when it has not returned within a few seconds; a
// call that waits on a FIFO is then freed by a writer that comes and goes,
// so the test itself never hangs.
template <typename Call>
auto WithoutWaitingOn(const std::string& fifo, Call call) {
    auto result = std::async(std::launch::async, call);
    if (result.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
        ADD_FAILURE() << "waited on " << fifo;
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
    }
    return result.get();
}

TEST_F(ProfileTest, AFileThatIsNoSmallRegularFileIsNeitherReadNorReplaced) {
    const std::string valid = "[Radio Serial Port]\nRadio_Port=3\n";
    const struct {
        const char* what;
        std::function<void(const std::string&)> make;
        const char* why;  // "" : read as usual
    } cases[] = {
        {"FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
         "is a FIFO, not a regular file"},
        {"link to /dev/zero", [](const std::string& p) { fs::create_symlink("/dev/zero", p); },
         "is a character device, not a regular file"},
        {"folder", [](const std::string& p) { fs::create_directory(p); }, "is a folder, not a regular file"},
        {"over the limit",
         [&valid](const std::string& p) {
             std::ofstream(p, std::ios::binary) << valid << std::string(PROFILE_MAX_SIZE, ';');
         },
         " bytes long, more than 1048576"},
        {"at the limit",
         [&valid](const std::string& p) {
             std::ofstream(p, std::ios::binary) << valid << std::string(PROFILE_MAX_SIZE - valid.size(), ';');
         },
         ""},
    };
    for (const auto& c : cases) {
        std::error_code ec;
        fs::remove_all(path_, ec);
        c.make(path_);
        const fs::file_type type = fs::symlink_status(path_).type();
        std::string why = "stale", checked;
        const int port = WithoutWaitingOn(path_, [&] {
            return GetProfileInt(path_, "Radio Serial Port", "Radio_Port", -1, &why);
        });
        const bool readable = WithoutWaitingOn(path_, [&] { return CheckProfileFile(path_, &checked); });
        const bool written = WithoutWaitingOn(path_, [&] {
            return WriteProfileInt(path_, "Radio Serial Port", "Radio_Port", 5);
        });
        if (*c.why == '\0') {
            EXPECT_EQ(port, 3) << c.what;
            EXPECT_EQ(why, "") << c.what;
            EXPECT_TRUE(readable && written) << c.what;
            continue;
        }
        EXPECT_EQ(port, -1) << c.what;
        EXPECT_NE(why.find(c.why), std::string::npos) << c.what << ": " << why;
        EXPECT_FALSE(readable) << c.what;
        EXPECT_EQ(checked, why) << c.what;
        EXPECT_FALSE(written) << c.what;
        EXPECT_EQ(fs::symlink_status(path_).type(), type) << c.what;
    }
    // No file at all is no fault: the defaults, and nothing to tell.
    fs::remove_all(path_);
    std::string why = "stale";
    EXPECT_EQ(GetProfileInt(path_, "Radio Serial Port", "Radio_Port", -1, &why), -1);
    EXPECT_EQ(why, "");
    EXPECT_TRUE(CheckProfileFile(path_, &why));
}

TEST_F(ProfileTest, WriteIntoAMissingFolderFails) {
    EXPECT_FALSE(WriteProfileInt(folder_ + "/no/such/folder/x.ini", "S", "k", 1));
}

}  // namespace
