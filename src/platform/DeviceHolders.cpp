#include "platform/DeviceHolders.h"

#include <sys/stat.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

std::vector<std::string> ProcessesHolding(const std::string& device) {
    std::vector<std::string> out;
    struct stat wanted {};
    if (::stat(device.c_str(), &wanted) != 0) return out;
    std::error_code ec;
    for (const fs::directory_entry& proc : fs::directory_iterator("/proc", ec)) {
        const std::string pid = proc.path().filename().string();
        if (pid.empty() || !std::isdigit(static_cast<unsigned char>(pid[0]))) continue;
        std::error_code fdError;
        for (const fs::directory_entry& fd : fs::directory_iterator(proc.path() / "fd", fdError)) {
            struct stat held {};
            if (::stat(fd.path().c_str(), &held) != 0) continue;
            // A character device may have several nodes: its number is what counts.
            const bool same = S_ISCHR(wanted.st_mode)
                                  ? S_ISCHR(held.st_mode) && held.st_rdev == wanted.st_rdev
                                  : held.st_dev == wanted.st_dev && held.st_ino == wanted.st_ino;
            if (!same) continue;
            // The program's name from its command line (comm is cut at 15 characters).
            std::string name;
            std::getline(std::ifstream(proc.path() / "cmdline"), name, '\0');
            name = fs::path(name).filename().string();
            if (name.empty()) std::getline(std::ifstream(proc.path() / "comm"), name);
            out.push_back("pid " + pid + " (" + name + ")");
            break;
        }
    }
    return out;
}
