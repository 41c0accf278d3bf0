#include "collector/StationCheck.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "platform/DeviceHolders.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "platform/TtySerialPort.h"
#include "records/Callers.h"

namespace fs = std::filesystem;

namespace {


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
int CheckSettings(Report& report, const std::string& folder, int portOverride) {
    const std::string path = (folder + SETTINGS_FILE_NAME);
    std::error_code ec;
    const bool exists = fs::exists(path, ec);
    if (exists && !std::ifstream(path).is_open()) {
        report.Line(false, "settings", path + " cannot be read: " + std::strerror(EACCES));
        return portOverride;
    }
    if (portOverride != -1) {
        report.Line(true, "settings", "--port " + std::to_string(portOverride) +
                                          " for this run; " + path + " is not read");
        return portOverride;
    }
    if (!exists) {
        report.Line(false, "settings", path + " does not exist: no radio port is chosen");
        return -1;
    }
    const int port = GetProfileInt(path, RADIO_PORT_SECTION, RADIO_PORT_KEY, -1);
    const std::string where = path + " [" + RADIO_PORT_SECTION + "] " + RADIO_PORT_KEY;
    if (port == -1) {
        report.Line(false, "settings", where + " is not set: no radio port is chosen");
        return -1;
    }
    if (port < 1 || port > 256) {
        report.Line(false, "settings", where + "=" + std::to_string(port) +
                                           " is not a COM number from 1 to 256");
        return -1;
    }
    report.Line(true, "settings", where + "=" + std::to_string(port));
    return port;
}

void CheckPort(Report& report, const std::string& folder, int port) {
    if (port == -1) {
        report.Line(false, "port", "no radio port to look at");
        return;
    }
    const std::string com = "COM" + std::to_string(port);
    const std::string device = PortDevicePath(folder, static_cast<std::uint8_t>(port - 1));
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
        name += " (no link " + PortLinkPath(folder, static_cast<std::uint8_t>(port - 1)) + ")";
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
    for (const char* sub : {"Z918E", "Temp", "Logs"}) {
        const std::string path = (folder + sub);
        if (fs::exists(path, ec) && ::access(path.c_str(), W_OK) != 0) notWritable.push_back(path);
    }
    if (notWritable.empty()) {
        report.Line(true, "folders", folder + " and its Z918E, Temp and Logs are writable");
        return;
    }
    std::string list;
    for (const std::string& p : notWritable) list += (list.empty() ? "" : ", ") + p;
    report.Line(false, "folders", "not writable for user " + UserName() + ": " + list);
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

}  // namespace

bool RunStationCheck(const std::string& folder, const std::string& origin, int portOverride,
                     std::FILE* out) {
    Report report(out);
    std::fprintf(out, "data folder: %s (%s)\n", folder.c_str(), origin.c_str());
    const int port = CheckSettings(report, folder, portOverride);
    CheckPort(report, folder, port);
    CheckFolders(report, folder);
    CheckCallers(report, folder);
    if (report.Failures() == 0)
        std::fprintf(out, "all is well\n");
    else
        std::fprintf(out, "%d problem%s found\n", report.Failures(), report.Failures() == 1 ? "" : "s");
    std::fflush(out);
    return report.Failures() == 0;
}
