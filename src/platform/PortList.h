#pragma once
// The machine's serial ports as the operator chooses among them.
//
// Devices come from the kernel's tty class (/sys/class/tty): every tty with
// a "device" link is a serial port. The on-board UARTs /dev/ttyS<k> are
// COM k+1. Other adapters (USB and the like) get a COM number only from a
// link "Ports/COM<n>" in the program's folder that points at them; links
// that point at anything else (a pseudo-terminal, a device that is not
// plugged in) are listed as virtual ports of their own.
//
// Each listed device becomes one entry with the text " %2d - %5s:  %s"
// (position from 1, port name, friendly name) and a 32-bit port value:
// -1 = no COM number, n = COMn, n + 0x10000 = COMn marked virtual.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Where the enumeration looks. Tests point these at fixture trees.
struct PortListRoots {
    std::string sysClassTty = "/sys/class/tty";
    std::string dev = "/dev";
    // The folder of the COM<n> links, normally the data folder's "Ports".
    std::string portsDir;

    std::string PortsDir() const;
};

// One device as read from the system, before numbering and filtering.
struct SerialDeviceInfo {
    std::optional<std::string> friendlyName;
    std::optional<std::string> serviceName;  // driver; absent = plain serial port
    std::optional<std::string> portName;     // "COM3"; absent = taken from the friendly name
    bool present = true;                     // connected now (else only installed)
    std::string ttyName;                     // "ttyUSB0"; empty for a link of its own
};

// One entry of the port list.
struct SerialPortEntry {
    std::string text;               // " %2d - %5s:  %s"
    std::int32_t portValue = -1;    // -1, n, or n + 0x10000
    std::string portName;           // empty when there is none
    std::string friendlyName;
    std::string ttyName;            // the device a COM number can be given to
};

constexpr std::int32_t kVirtualPortMark = 0x10000;
// COM numbers reachable through the radio port's 8-bit index.
constexpr int kHighestComNumber = 256;

// Every serial device: sysfs ttys in name order (ttyS2 before ttyS10), then
// the links of their own in COM order. Unreadable parts are skipped quietly.
std::vector<SerialDeviceInfo> ReadSerialDevices(const PortListRoots& roots = PortListRoots());

// The port value of a device: the number behind "COM" in its port name (or
// the "(COM..)" part of its friendly name), marked virtual when its service
// is not "Serial" in any letter case. Fills portName from the friendly name
// when it was absent.
std::int32_t PortValueOf(SerialDeviceInfo& device);

// Appends the device to list unless the physical-only option leaves it out.
void AppendPortEntry(std::vector<SerialPortEntry>& list, SerialDeviceInfo device,
                     bool physicalOnly);

// Appends one entry per device that passes the options. The list is not
// emptied first.
void EnumerateSerialPorts(bool presentOnly, bool physicalOnly, std::vector<SerialPortEntry>& list,
                          const PortListRoots& roots = PortListRoots());

// The COM number an accepted entry stands for: the low 16 bits of its port
// value. An entry without a number (-1) gets one instead: the link
// "Ports/COM<n>" is made with the lowest free n above the on-board ports,
// pointing at the device's /dev/serial/by-id name when it has one (so the
// choice survives re-plugging), else at its /dev node, and n is returned.
// -1 when no number can be given; error then says why.
std::int32_t AcceptPortEntry(const SerialPortEntry& entry,
                             const PortListRoots& roots = PortListRoots(),
                             std::string* error = nullptr);
