#pragma once
// Where the system's files live.
#include <cstdint>
#include <string>

// The settings file beside the program and where the radio's COM number is
// kept in it (missing or -1: none chosen).
constexpr const char* SETTINGS_FILE_NAME = "K7_Dialups.ini";
constexpr const char* RADIO_PORT_SECTION = "Radio Serial Port";
constexpr const char* RADIO_PORT_KEY = "Radio_Port";

// The folder an installed program keeps its files in when nothing names one:
// the collector run as a service uses a system folder, the console a folder
// of the user's.
enum class InstalledDataFolder { Service, User };

// /var/lib/kestova/default: the installed collector's folder.
inline constexpr char kServiceDataFolder[] = "/var/lib/kestova/default";

// How a program chooses its data folder: the folder given on the command
// line ("" = none) and which folder it takes when it is installed.
struct DataFolderChoice {
    std::string commandLineFolder;
    InstalledDataFolder installed = InstalledDataFolder::Service;
};

// The folder with one trailing "/" added when it has none ("" gives "/").
std::string WithTrailingSlash(std::string folder);
// Which file a path names: a file deleted, or replaced by another under
// its name, shows as another identity.
struct FileIdentity {
    bool exists = false;
    bool regular = false;        // a regular file (after links)
    unsigned long long device = 0, inode = 0;
    bool operator==(const FileIdentity&) const = default;
};
FileIdentity IdentityOf(const std::string& path);

// The last part of a path ("b.txt" of "/a/b.txt"; the path when it has no '/').
std::string FileNameOf(const std::string& path);

// The data folder for a program whose file lies in programFolder, with a
// trailing "/": the command line's folder, else KESTOVA_HOME, else the
// program's folder itself (a build tree), unless the program is installed
// (its folder is a system folder or not writable): then the service folder,
// or $XDG_DATA_HOME/kestova (default ~/.local/share/kestova) for the user.
// *origin says which of these it was ("--data-folder", "KESTOVA_HOME",
// "the program's folder", "installed program").
std::string ResolveDataFolder(const DataFolderChoice& choice, const std::string& programFolder,
                              std::string* origin);

// ResolveDataFolder for the running program (/proc/self/exe). Creates only
// the user's folder of an installed console.
std::string ProgramDataFolder(const DataFolderChoice& choice, std::string* origin);

// The device a port index stands for: "Ports/COM<index+1>" in the data
// folder when that link (or file) exists, even when the link points
// nowhere, else "/dev/ttyS<index>".
std::string PortDevicePath(const std::string& dataFolder, std::uint8_t index);
// dataFolder + "Ports/COM<index+1>", whether or not it exists (index 255
// is "Ports/COM256").
std::string PortLinkPath(const std::string& dataFolder, std::uint8_t index);
