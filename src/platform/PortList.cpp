#include "platform/PortList.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <tuple>
#include <unistd.h>


namespace fs = std::filesystem;

namespace {

// Property texts are read into buffers of this size (with the terminator).
constexpr std::size_t kPropertyBuffer = 1024;
// The service name given to a link of its own: anything but "Serial", so
// the port counts as virtual.
constexpr const char* kLinkService = "PortLink";

std::string Clip(std::string text) {
    if (text.size() >= kPropertyBuffer) text.resize(kPropertyBuffer - 1);
    return text;
}

// First line of a small sysfs attribute, without the line end.
std::optional<std::string> ReadAttribute(const fs::path& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

bool IEquals(const std::string& a, const char* b) {
    std::size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (std::tolower(x) != std::tolower(y)) return false;
    }
    return true;
}

// The drivers of the machine's own UARTs, which count as the plain serial
// port service.
bool IsOnBoardUartDriver(const std::string& driver) {
    return driver == "serial8250" || driver == "serial" || driver == "of_serial" ||
           driver == "dw-apb-uart" || driver.rfind("8250", 0) == 0;
}

// "ttyS12" -> 12; -1 for any other name.
int OnBoardIndex(const std::string& name) {
    if (name.size() < 5 || name.compare(0, 4, "ttyS") != 0) return -1;
    int value = 0;
    for (std::size_t i = 4; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || value > 100000) return -1;
        value = value * 10 + (name[i] - '0');
    }
    return value;
}

// Natural order of tty names: ttyS2 before ttyS10.
bool TtyNameLess(const std::string& a, const std::string& b) {
    auto split = [](const std::string& s) {
        std::size_t cut = s.size();
        while (cut > 0 && s[cut - 1] >= '0' && s[cut - 1] <= '9') --cut;
        std::string digits = s.substr(cut);
        digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
        return std::make_tuple(s.substr(0, cut), digits.size(), digits);
    };
    auto ka = split(a);
    auto kb = split(b);
    if (ka != kb) return ka < kb;
    return a < b;
}

// "COM7" -> 7 for link names; -1 unless the number is a usable COM number.
int LinkComNumber(const std::string& name) {
    if (name.size() < 4 || name.size() > 6 || name.compare(0, 3, "COM") != 0) return -1;
    int value = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return -1;
        value = value * 10 + (name[i] - '0');
    }
    return (value >= 1 && value <= kHighestComNumber) ? value : -1;
}

fs::path Canonical(const fs::path& path) {
    std::error_code ec;
    fs::path result = fs::canonical(path, ec);
    return ec ? fs::path() : result;
}

// A readable name for a non-on-board device: the product string of the
// nearest device above it that has one.
std::string DeviceDescription(const fs::path& ttyDir) {
    fs::path dir = Canonical(ttyDir / "device");
    for (int level = 0; level < 4 && !dir.empty(); ++level) {
        if (auto product = ReadAttribute(dir / "product"); product && !product->empty()) {
            std::string text = *product;
            // Only the number we add may read as "(COM..".
            for (std::size_t at = text.find("(COM"); at != std::string::npos;
                 at = text.find("(COM", at))
                text[at] = '[';
            return text;
        }
        if (dir == dir.parent_path()) break;
        dir = dir.parent_path();
    }
    return "Serial Port";
}

// The name of the driver behind a tty's device. Newer kernels put the
// serial core's own port and controller devices (bus "serial-base", drivers
// "port" and "ctrl") between the tty and the hardware; the driver that tells
// what the port is sits above them.
std::optional<std::string> DriverOf(const fs::path& ttyDir) {
    fs::path dir = Canonical(ttyDir / "device");
    if (dir.empty()) dir = ttyDir / "device";
    for (int level = 0; level < 4; ++level) {
        std::error_code ec;
        fs::path driver = fs::read_symlink(dir / "driver", ec);
        if (ec || driver.filename().empty()) return std::nullopt;
        if (driver.generic_string().find("/serial-base/") == std::string::npos)
            return driver.filename().string();
        if (dir == dir.parent_path()) break;
        dir = dir.parent_path();
    }
    return std::nullopt;
}

struct TtyDevice {
    std::string name;
    fs::path dir;
    std::optional<std::string> driver;
    bool present = true;
    int onBoardIndex = -1;
    int linkNumber = -1;  // COM number given by a link
};

struct PortLink {
    int number;
    std::string target;  // as written in the link
    fs::path resolved;   // canonical target, empty when dangling
};

std::vector<TtyDevice> ReadTtys(const PortListRoots& roots) {
    std::vector<TtyDevice> ttys;
    std::error_code ec;
    fs::directory_iterator it(roots.sysClassTty, ec);
    if (ec) return ttys;
    for (const auto& entry : it) {
        TtyDevice tty;
        tty.name = entry.path().filename().string();
        tty.dir = entry.path();
        std::error_code linkEc;
        if (!fs::exists(fs::symlink_status(tty.dir / "device", linkEc))) continue;
        tty.driver = DriverOf(tty.dir);
        // A UART slot the kernel reserved but found no chip in.
        if (auto type = ReadAttribute(tty.dir / "type"); type && *type == "0") tty.present = false;
        tty.onBoardIndex = OnBoardIndex(tty.name);
        ttys.push_back(std::move(tty));
    }
    std::sort(ttys.begin(), ttys.end(),
              [](const TtyDevice& a, const TtyDevice& b) { return TtyNameLess(a.name, b.name); });
    return ttys;
}

std::vector<PortLink> ReadLinks(const PortListRoots& roots) {
    std::vector<PortLink> links;
    std::error_code ec;
    fs::path dir = roots.PortsDir();
    fs::directory_iterator it(dir, ec);
    if (ec) return links;
    for (const auto& entry : it) {
        int number = LinkComNumber(entry.path().filename().string());
        std::error_code linkEc;
        if (number < 0 || !entry.is_symlink(linkEc)) continue;
        fs::path target = fs::read_symlink(entry.path(), linkEc);
        if (linkEc) continue;
        PortLink link{number, target.string(), Canonical(entry.path())};
        links.push_back(std::move(link));
    }
    std::sort(links.begin(), links.end(),
              [](const PortLink& a, const PortLink& b) { return a.number < b.number; });
    return links;
}

}  // namespace

std::string PortListRoots::PortsDir() const { return portsDir; }

std::vector<SerialDeviceInfo> ReadSerialDevices(const PortListRoots& roots) {
    std::vector<TtyDevice> ttys = ReadTtys(roots);
    std::vector<PortLink> links = ReadLinks(roots);

    // A link that points at an adapter without a number of its own gives it
    // that number; every other link is a port of its own.
    std::vector<const PortLink*> ownLinks;
    for (const PortLink& link : links) {
        TtyDevice* named = nullptr;
        if (!link.resolved.empty()) {
            for (TtyDevice& tty : ttys) {
                if (tty.onBoardIndex >= 0 || tty.linkNumber >= 0) continue;
                if (Canonical(fs::path(roots.dev) / tty.name) == link.resolved) {
                    named = &tty;
                    break;
                }
            }
        }
        if (named)
            named->linkNumber = link.number;
        else
            ownLinks.push_back(&link);
    }

    std::vector<SerialDeviceInfo> devices;
    for (const TtyDevice& tty : ttys) {
        SerialDeviceInfo device;
        device.ttyName = tty.name;
        device.present = tty.present;
        if (tty.driver)
            device.serviceName = Clip(IsOnBoardUartDriver(*tty.driver) ? "Serial" : *tty.driver);
        if (tty.onBoardIndex >= 0) {
            // A link of the same number takes the number over; the port
            // itself is then listed without one, so it can be given another.
            const int number = tty.onBoardIndex + 1;
            const bool shadowed = std::any_of(links.begin(), links.end(),
                                              [number](const PortLink& l) { return l.number == number; });
            device.friendlyName = shadowed ? "Communications Port on " + tty.name
                                           : "Communications Port (COM" + std::to_string(number) + ")";
        } else {
            std::string name = DeviceDescription(tty.dir) + " on " + tty.name;
            if (tty.linkNumber >= 0) name += " (COM" + std::to_string(tty.linkNumber) + ")";
            device.friendlyName = Clip(name);
        }
        devices.push_back(std::move(device));
    }
    for (const PortLink* link : ownLinks) {
        SerialDeviceInfo device;
        device.friendlyName =
            Clip("Virtual Port (COM" + std::to_string(link->number) + ") -> " + link->target);
        device.serviceName = kLinkService;
        device.present = !link->resolved.empty();
        devices.push_back(std::move(device));
    }
    return devices;
}

std::int32_t PortValueOf(SerialDeviceInfo& device) {
    if (device.friendlyName && !device.portName) {
        const std::string& friendly = *device.friendlyName;
        std::size_t p = friendly.find("(COM");
        if (p != std::string::npos) {
            std::size_t q = friendly.find(')', p + 1);
            if (q != std::string::npos && q > 0) device.portName = friendly.substr(p + 1, q - p - 1);
        }
    }
    std::int32_t value = -1;
    if (device.portName && device.portName->compare(0, 3, "COM") == 0) {
        value = 0;
        for (std::size_t i = 3; i < device.portName->size(); ++i) {
            char c = (*device.portName)[i];
            if (c < '0' || c > '9') break;
            value = std::min<std::int32_t>(value * 10 + (c - '0'), 0xFFFF);
        }
    }
    // Only a real COM number carries the virtual mark: a device without one
    // stays -1 whatever its service.
    if (device.serviceName && value > 0 && !IEquals(*device.serviceName, "Serial"))
        value += kVirtualPortMark;
    return value;
}

void AppendPortEntry(std::vector<SerialPortEntry>& list, SerialDeviceInfo device,
                     bool physicalOnly) {
    std::int32_t value = PortValueOf(device);
    if (value > 0 && physicalOnly && (value & kVirtualPortMark)) return;

    SerialPortEntry entry;
    entry.portValue = value;
    entry.portName = device.portName.value_or("");
    entry.friendlyName = device.friendlyName.value_or("");
    entry.ttyName = device.ttyName;
    std::size_t size = std::snprintf(nullptr, 0, " %2d - %5s:  %s", static_cast<int>(list.size() + 1),
                                     entry.portName.c_str(), entry.friendlyName.c_str());
    entry.text.resize(size + 1);
    std::snprintf(entry.text.data(), entry.text.size(), " %2d - %5s:  %s",
                  static_cast<int>(list.size() + 1), entry.portName.c_str(),
                  entry.friendlyName.c_str());
    entry.text.resize(size);
    list.push_back(std::move(entry));
}

void EnumerateSerialPorts(bool presentOnly, bool physicalOnly, std::vector<SerialPortEntry>& list,
                          const PortListRoots& roots) {
    for (SerialDeviceInfo& device : ReadSerialDevices(roots)) {
        if (presentOnly && !device.present) continue;
        AppendPortEntry(list, std::move(device), physicalOnly);
    }
}

std::int32_t AcceptPortEntry(const SerialPortEntry& entry, const PortListRoots& roots,
                             std::string* error) {
    auto fail = [error](const std::string& why) {
        if (error) *error = why;
        return -1;
    };
    if (entry.portValue != -1) return entry.portValue & 0xFFFF;
    if (entry.ttyName.empty()) return fail("The entry names no device.");

    fs::path node = fs::path(roots.dev) / entry.ttyName;
    fs::path nodeCanonical = Canonical(node);
    if (nodeCanonical.empty()) return fail("The device " + node.string() + " is not connected.");

    // The stable name survives re-plugging; the node name may not.
    fs::path target = node;
    std::error_code ec;
    std::vector<fs::path> stable;
    for (fs::directory_iterator it(fs::path(roots.dev) / "serial" / "by-id", ec), end;
         !ec && it != end; it.increment(ec)) {
        if (Canonical(it->path()) == nodeCanonical) stable.push_back(it->path());
    }
    if (!stable.empty()) target = *std::min_element(stable.begin(), stable.end());

    int first = 1;
    for (const TtyDevice& tty : ReadTtys(roots))
        if (tty.onBoardIndex >= 0) first = std::max(first, tty.onBoardIndex + 2);

    fs::path dir = roots.PortsDir();
    fs::create_directories(dir, ec);
    if (ec) return fail("The folder " + dir.string() + " cannot be made: " + ec.message());
    for (int n = first; n <= kHighestComNumber; ++n) {
        fs::path link = dir / ("COM" + std::to_string(n));
        // symlink() fails on an existing name, so a taken number is never
        // overwritten, even by a link made at the same moment elsewhere.
        if (::symlink(target.c_str(), link.c_str()) == 0) return n;
        if (errno != EEXIST)
            return fail("The link " + link.string() + " cannot be made: " + std::strerror(errno));
    }
    return fail("Every COM number up to " + std::to_string(kHighestComNumber) + " is taken.");
}
