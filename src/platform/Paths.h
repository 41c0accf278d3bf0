#pragma once
// Where the system's files live.
#include <cstdint>
#include <string>

// The settings file beside the program and where the radio's COM number is
// kept in it (missing or -1: none chosen).
constexpr const char* SETTINGS_FILE_NAME = "K7_Dialups.ini";
constexpr const char* RADIO_PORT_SECTION = "Radio Serial Port";
constexpr const char* RADIO_PORT_KEY = "Radio_Port";

// Sets exeDirectory: the folder named by KESTOVA_HOME when set, else the
// folder of the running program (/proc/self/exe); always with a trailing
// "/". Creates nothing.
void InitExeDirectory();
// exeDirectory + relative ("Temp/RemoteCaller.txt").
std::string DataPath(const std::string& relative);
// The device a port index stands for: "Ports/COM<index+1>" in exeDirectory
// when that link (or file) exists, even when the link points nowhere, else
// "/dev/ttyS<index>".
std::string PortDevicePath(std::uint8_t index);
// exeDirectory + "Ports/COM<index+1>", whether or not it exists (index 255
// is "Ports/COM256").
std::string PortLinkPath(std::uint8_t index);
