#pragma once
// A throw-away sysfs tty tree, /dev folder and Ports/ folder for port list
// tests. Every device gets its own device folder; USB adapters sit two
// levels below the USB device that carries the product string, as they do
// in the kernel's tree.
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>

#include "platform/PortList.h"

namespace testsupport {

class PortFixture {
public:
    PortFixture() {
        std::random_device rd;
        root = std::filesystem::temp_directory_path() /
               ("kestova-ports-" + std::to_string(rd()) + std::to_string(rd()));
        std::filesystem::create_directories(root / "sys/class/tty");
        std::filesystem::create_directories(root / "dev");
        roots.sysClassTty = (root / "sys/class/tty").string();
        roots.dev = (root / "dev").string();
        roots.portsDir = (root / "app/Ports").string();
    }
    ~PortFixture() {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    PortFixture(const PortFixture&) = delete;
    PortFixture& operator=(const PortFixture&) = delete;

    // A tty with a device. driver empty = the device has no driver link;
    // type set = the UART type attribute; product set = a USB adapter.
    void AddTty(const std::string& name, const std::string& driver,
                std::optional<int> type = std::nullopt,
                std::optional<std::string> product = std::nullopt) {
        namespace fs = std::filesystem;
        fs::path device = product ? root / "sys/devices/usb" / name / "1-1/1-1:1.0" / name
                                  : root / "sys/devices/platform" / name;
        fs::create_directories(device);
        if (product) Write(device.parent_path().parent_path() / "product", *product);
        if (!driver.empty()) fs::create_directory_symlink("../../../bus/drivers/" + driver,
                                                          device / "driver");
        fs::path tty = root / "sys/class/tty" / name;
        fs::create_directories(tty);
        fs::create_directory_symlink(device, tty / "device");
        if (type) Write(tty / "type", std::to_string(*type) + "\n");
        Write(root / "dev" / name, "");
    }
    // An on-board port as newer kernels show it: the tty's device is the
    // serial core's port, below its controller, below the hardware.
    void AddSerialCoreTty(const std::string& name, const std::string& hardwareDriver, int type) {
        namespace fs = std::filesystem;
        fs::path hardware = root / "sys/devices/pnp0" / name;
        fs::path port = hardware / (name + ":0") / (name + ":0.0");
        fs::create_directories(port);
        fs::create_directory_symlink("../../../bus/pnp/drivers/" + hardwareDriver, hardware / "driver");
        fs::create_directory_symlink("../../../../bus/serial-base/drivers/ctrl",
                                     port.parent_path() / "driver");
        fs::create_directory_symlink("../../../../../bus/serial-base/drivers/port", port / "driver");
        fs::path tty = root / "sys/class/tty" / name;
        fs::create_directories(tty);
        fs::create_directory_symlink(port, tty / "device");
        Write(tty / "type", std::to_string(type) + "\n");
        Write(root / "dev" / name, "");
    }
    // A tty without a device (a virtual console, a pseudo-terminal).
    void AddPlainTty(const std::string& name) {
        std::filesystem::create_directories(root / "sys/class/tty" / name);
    }
    // /dev/serial/by-id/<id> -> ../../<tty>, as udev makes it.
    void AddById(const std::string& id, const std::string& tty) {
        std::filesystem::create_directories(root / "dev/serial/by-id");
        std::filesystem::create_symlink("../../" + tty, root / "dev/serial/by-id" / id);
    }
    void AddLink(const std::string& name, const std::string& target) {
        std::filesystem::create_directories(roots.portsDir);
        std::filesystem::create_symlink(target, std::filesystem::path(roots.portsDir) / name);
    }
    std::string Dev(const std::string& name) const { return (root / "dev" / name).string(); }
    std::string LinkTarget(const std::string& name) const {
        std::error_code ec;
        return std::filesystem::read_symlink(std::filesystem::path(roots.portsDir) / name, ec)
            .string();
    }
    std::vector<SerialPortEntry> List(bool presentOnly, bool physicalOnly) const {
        std::vector<SerialPortEntry> list;
        EnumerateSerialPorts(presentOnly, physicalOnly, list, roots);
        return list;
    }

    std::filesystem::path root;
    PortListRoots roots;

private:
    static void Write(const std::filesystem::path& path, const std::string& text) {
        std::ofstream(path) << text;
    }
};

}  // namespace testsupport
