#include "collector/StationCheck.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "engine/ReportRestore.h"
#include "platform/DeviceHolders.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "platform/RadioPortSetting.h"
#include "platform/TtySerialPort.h"
#include "records/Callers.h"
#include "records/TrainHistory.h"

namespace fs = std::filesystem;

namespace {

// Below this the next train reports, the history and the day's scope log
// may find no room.
constexpr std::uint64_t kLeastFreeBytes = std::uint64_t{10} << 20;

class Report {
public:
    explicit Report(std::FILE* out) : out_(out) {}
    void Line(bool good, const std::string& topic, const std::string& text) {
        std::fprintf(out_, "%s: %s: %s\n", good ? "ok" : "FAIL", topic.c_str(), text.c_str());
        if (!good) ++failures_;
    }
    int Failures() const { return failures_; }

private:
    std::FILE* out_;
    int failures_ = 0;
};

std::string UserName() {
    const passwd* pw = ::getpwuid(::geteuid());
    return pw != nullptr ? pw->pw_name : "uid " + std::to_string(::geteuid());
}

bool InGroup(gid_t gid) {
    if (::getegid() == gid) return true;
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
    const int n = ::getgroups(static_cast<int>(groups.size()), groups.data());
    for (int i = 0; i < n; ++i)
        if (groups[static_cast<std::size_t>(i)] == gid) return true;
    return false;
}

// Why a device cannot be opened for lack of permission, and what to do.
std::string PermissionAdvice(const std::string& device) {
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0) return "";
    const group* gr = ::getgrgid(st.st_gid);
    const std::string groupName = gr != nullptr ? gr->gr_name : std::to_string(st.st_gid);
    if ((st.st_mode & S_IRWXG) == (S_IRGRP | S_IWGRP) && !InGroup(st.st_gid)) {
        return "; the device belongs to group " + groupName + " and user " + UserName() +
               " is not in it (sudo adduser " + UserName() + " " + groupName +
               ", then log in again; the service runs in group dialout)";
    }
    return "; the device belongs to group " + groupName + " and lets user " + UserName() +
           " neither read nor write it";
}

// Reads the port from the settings; -1 with a FAIL line when none is usable.
// Only a regular file of sane size is read (a FIFO would hold the check).
int CheckSettings(Report& report, const std::string& folder, int portOverride) {
    const std::string path = (folder + SETTINGS_FILE_NAME);
    std::string unread;
    if (!CheckProfileFile(path, &unread)) {
        report.Line(false, "settings", path + " " + unread);
        return portOverride;
    }
    if (portOverride != -1) {
        report.Line(true, "settings", "--port " + std::to_string(portOverride) +
                                          " for this run; " + path + " is not read");
        return portOverride;
    }
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        report.Line(false, "settings", path + " does not exist: no radio port is chosen");
        return -1;
    }
    const int port = GetProfileInt(path, RADIO_PORT_SECTION, RADIO_PORT_KEY, -1, &unread);
    const std::string where = path + " [" + RADIO_PORT_SECTION + "] " + RADIO_PORT_KEY;
    if (!unread.empty()) {
        report.Line(false, "settings", path + " " + unread);
        return -1;
    }
    if (port == -1) {
        report.Line(false, "settings", where + " is not set: no radio port is chosen");
        return -1;
    }
    // As the collector takes it: 0 is COM256.
    if (!IsRadioPortNumber(port)) {
        report.Line(false, "settings", where + "=" + std::to_string(port) +
                                           " is not a COM number from 1 to 256 (or 0 for COM256)");
        return -1;
    }
    report.Line(true, "settings", where + "=" + std::to_string(port) + (port == 0 ? " (COM256)" : ""));
    return port;
}

void CheckPort(Report& report, const std::string& folder, int port) {
    if (port == -1) {
        report.Line(false, "port", "no radio port to look at");
        return;
    }
    const int number = port == 0 ? RADIO_PORT_MAX : port;
    const std::string com = "COM" + std::to_string(number);
    const std::string device = PortDevicePath(folder, static_cast<std::uint8_t>(number - 1));
    std::string name = com + " is " + device;
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(device, ec))) {
        const fs::path target = fs::canonical(device, ec);
        if (ec) {
            report.Line(false, "port", name + " -> " + fs::read_symlink(device, ec).string() +
                                           ", which does not exist (device unplugged?)");
            return;
        }
        name += " -> " + target.string();
    } else {
        name += " (no link " + PortLinkPath(folder, static_cast<std::uint8_t>(number - 1)) + ")";
    }
    int error = 0;
    const int fd = OpenTtyExclusive(device, &error);
    if (fd >= 0) {
        ::close(fd);
        report.Line(true, "port", name + ", which can be opened now");
        return;
    }
    std::string why = std::strerror(error);
    if (error == EACCES) why += PermissionAdvice(device);
    if (error == EBUSY) {
        const std::vector<std::string> holders = ProcessesHolding(device);
        why += holders.empty() ? "; held by a process this user cannot see" : "; held by";
        for (std::size_t i = 0; i < holders.size(); ++i) why += (i == 0 ? " " : ", ") + holders[i];
    }
    report.Line(false, "port", name + ", which cannot be opened now: " + why);
}

void CheckFolders(Report& report, const std::string& folder) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        report.Line(false, "folders", folder + " does not exist");
        return;
    }
    std::vector<std::string> notWritable;
    if (::access(folder.c_str(), W_OK) != 0) notWritable.push_back(folder);
    for (const char* sub : {"Z918E", "Journal", "Temp", "Logs"}) {
        const std::string path = (folder + sub);
        if (fs::exists(path, ec) && (!fs::is_directory(path, ec) || ::access(path.c_str(), W_OK) != 0))
            notWritable.push_back(path);
    }
    if (notWritable.empty()) {
        report.Line(true, "folders", folder + " and its Z918E, Journal, Temp and Logs are writable");
        return;
    }
    std::string list;
    for (const std::string& p : notWritable) list += (list.empty() ? "" : ", ") + p;
    report.Line(false, "folders", "not writable folders for user " + UserName() + ": " + list +
                                      " (a running collector holds the train reports it cannot write in memory)");
}

void CheckCallers(Report& report, const std::string& folder) {
    const std::string path = (folder + "Callers.bin");
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        report.Line(true, "Callers.bin", "not there yet (written at the first Powerup)");
        return;
    }
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec || !std::ifstream(path).is_open()) {
        report.Line(false, "Callers.bin", path + " cannot be read");
    } else if (size != CALLERS_FILE_SIZE) {
        report.Line(false, "Callers.bin", path + " has " + std::to_string(size) +
                                              " bytes, not " + std::to_string(CALLERS_FILE_SIZE));
    } else {
        report.Line(true, "Callers.bin", std::to_string(size) + " bytes");
    }
}

std::string MiB(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    return text;
}

void CheckFreeSpace(Report& report, const std::string& folder) {
    struct statvfs vfs {};
    if (::statvfs(folder.c_str(), &vfs) != 0) return;  // no folder: told under "folders"
    const std::uint64_t free = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    if (free < kLeastFreeBytes) {
        report.Line(false, "disk", "only " + MiB(free) + " free in " + folder + " (less than " +
                                       MiB(kLeastFreeBytes) + "): train reports may not be written");
    } else {
        report.Line(true, "disk", MiB(free) + " free in " + folder);
    }
}

// Opened for reading only: the check changes nothing, a damaged file is
// set aside by the collector's next start.
void CheckHistory(Report& report, const std::string& folder) {
    const std::string path = HistoryPath(folder);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        report.Line(true, "history", "no " + std::string(HISTORY_FILE_NAME) +
                                         " yet (built from the report files at start)");
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        report.Line(false, "history", path + " is not a regular file");
        return;
    }
    TrainHistory::OpenStatus status = TrainHistory::OpenStatus::Failed;
    std::string why;
    auto history = TrainHistory::OpenForReading(path, &status, &why);
    const std::string rebuilt = "; the collector sets it aside and rebuilds it at start";
    if (!history) {
        switch (status) {
            case TrainHistory::OpenStatus::OtherSchema:
                report.Line(true, "history", path + " has " + why + rebuilt);
                break;
            case TrainHistory::OpenStatus::Failed:
                report.Line(false, "history", path + " cannot be opened: " + why);
                break;
            default:
                report.Line(false, "history", path + " is damaged or no train history: " + why + rebuilt);
                break;
        }
        return;
    }
    if (!history->QuickCheck(&why)) {
        report.Line(false, "history", path + " fails its quick check: " + why + rebuilt);
        return;
    }
    report.Line(true, "history", path + " passes its quick check");
}

// Reports the train journal holds a train for, gone or unreadable.
void CheckReports(Report& report, const std::string& folder) {
    const std::string line = ReportsNotInPlaceLine(ReportsNotInPlace(folder));
    if (line.empty())
        report.Line(true, "reports", "every report file the train journal holds is in place");
    else
        report.Line(false, "reports", line);
}

}  // namespace

bool RunStationCheck(const std::string& folder, const std::string& origin, int portOverride,
                     std::FILE* out) {
    Report report(out);
    std::fprintf(out, "data folder: %s (%s)\n", folder.c_str(), origin.c_str());
    const int port = CheckSettings(report, folder, portOverride);
    CheckPort(report, folder, port);
    CheckFolders(report, folder);
    CheckFreeSpace(report, folder);
    CheckCallers(report, folder);
    CheckHistory(report, folder);
    CheckReports(report, folder);
    if (report.Failures() == 0)
        std::fprintf(out, "all is well\n");
    else
        std::fprintf(out, "%d problem%s found\n", report.Failures(), report.Failures() == 1 ? "" : "s");
    std::fflush(out);
    return report.Failures() == 0;
}
