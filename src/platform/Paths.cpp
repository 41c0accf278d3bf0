#include "platform/Paths.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "common/Globals.h"

namespace fs = std::filesystem;

namespace {
std::string WithTrailingSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/') folder.push_back('/');
    return folder;
}
}  // namespace

void InitExeDirectory() {
    const char* home = std::getenv("KESTOVA_HOME");
    if (home != nullptr && home[0] != '\0') {
        std::error_code ec;
        fs::path folder = fs::absolute(fs::path(home), ec);
        exeDirectory = WithTrailingSlash(ec ? std::string(home) : folder.lexically_normal().string());
        return;
    }
    std::error_code ec;
    fs::path program = fs::read_symlink("/proc/self/exe", ec);
    if (ec || program.empty()) {
        // Without /proc the current folder is the best guess there is.
        program = fs::current_path(ec) / "kestova";
    }
    exeDirectory = WithTrailingSlash(program.parent_path().string());
}

std::string DataPath(const std::string& relative) { return exeDirectory + relative; }

std::string PortLinkPath(std::uint8_t index) {
    return exeDirectory + "Ports/COM" + std::to_string(static_cast<unsigned>(index) + 1);
}

std::string PortDevicePath(std::uint8_t index) {
    // Only the link of this index in our own "Ports/" folder is looked at. A
    // link that exists but points nowhere (an adapter unplugged) still names
    // the port: falling back to /dev/ttyS<n> would open a different device.
    const std::string link = PortLinkPath(index);
    std::error_code ec;
    fs::file_status status = fs::symlink_status(link, ec);
    if (!ec && fs::exists(status)) return link;
    return "/dev/ttyS" + std::to_string(static_cast<unsigned>(index));
}
