#include "platform/Paths.h"

#include <sys/stat.h>

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

std::string Absolute(const std::string& folder) {
    std::error_code ec;
    fs::path path = fs::absolute(fs::path(folder), ec);
    return WithTrailingSlash(ec ? folder : path.lexically_normal().string());
}

// An installed program: its folder belongs to the system, or we may not
// write there (root may write to /usr/bin, and still must not keep data there).
bool IsInstalledFolder(const std::string& folder) {
    const std::string f = WithTrailingSlash(folder);
    if (f.rfind("/usr/", 0) == 0 || f == "/bin/" || f == "/sbin/") return true;
    return ::access(f.c_str(), W_OK) != 0;
}

std::string UserDataFolder() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/') return WithTrailingSlash(xdg) + "kestova/";
    std::string home;
    if (const char* h = std::getenv("HOME"); h != nullptr && h[0] != '\0') {
        home = h;
    } else if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        home = pw->pw_dir;
    }
    return WithTrailingSlash(home.empty() ? "/tmp" : home) + ".local/share/kestova/";
}

}  // namespace

std::string WithTrailingSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/') folder.push_back('/');
    return folder;
}

FileIdentity IdentityOf(const std::string& path) {
    FileIdentity id;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return id;
    id.exists = true;
    id.regular = S_ISREG(st.st_mode);
    id.device = static_cast<unsigned long long>(st.st_dev);
    id.inode = static_cast<unsigned long long>(st.st_ino);
    return id;
}

std::string FileNameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ResolveDataFolder(const DataFolderChoice& choice, const std::string& programFolder,
                              std::string* how) {
    if (!choice.commandLineFolder.empty()) {
        *how = "--data-folder";
        return Absolute(choice.commandLineFolder);
    }
    const char* home = std::getenv("KESTOVA_HOME");
    if (home != nullptr && home[0] != '\0') {
        *how = "KESTOVA_HOME";
        return Absolute(home);
    }
    if (!IsInstalledFolder(programFolder)) {
        *how = "the program's folder";
        return WithTrailingSlash(programFolder);
    }
    *how = "installed program";
    return choice.installed == InstalledDataFolder::Service ? WithTrailingSlash(kServiceDataFolder)
                                                            : UserDataFolder();
}

std::string ProgramDataFolder(const DataFolderChoice& choice, std::string* origin) {
    std::error_code ec;
    fs::path program = fs::read_symlink("/proc/self/exe", ec);
    if (ec || program.empty()) {
        // Without /proc the current folder is the best guess there is.
        program = fs::current_path(ec) / "kestova";
    }
    const std::string folder = ResolveDataFolder(choice, program.parent_path().string(), origin);
    if (*origin == "installed program" && choice.installed == InstalledDataFolder::User)
        fs::create_directories(folder, ec);  // the user's own; reported by whoever writes there
    return folder;
}

std::string PortLinkPath(const std::string& dataFolder, std::uint8_t index) {
    return dataFolder + "Ports/COM" + std::to_string(static_cast<unsigned>(index) + 1);
}

std::string PortDevicePath(const std::string& dataFolder, std::uint8_t index) {
    // Only the link of this index in our own "Ports/" folder is looked at. A
    // link that exists but points nowhere (an adapter unplugged) still names
    // the port: falling back to /dev/ttyS<n> would open a different device.
    const std::string link = PortLinkPath(dataFolder, index);
    std::error_code ec;
    fs::file_status status = fs::symlink_status(link, ec);
    if (!ec && fs::exists(status)) return link;
    return "/dev/ttyS" + std::to_string(static_cast<unsigned>(index));
}
