#pragma once
// The radio port setting: "Radio_Port" in section "Radio Serial Port" of
// "K7_Dialups.ini" in the data folder (`dataFolder`, with a trailing "/"). A COM number from 0 to 256 (0 is
// COM256); missing or -1 means that no port is chosen.
#include <string>

#include "platform/Paths.h"

constexpr int RADIO_PORT_NONE = -1;
constexpr int RADIO_PORT_MAX = 256;

inline bool IsRadioPortNumber(int value) { return value >= 0 && value <= RADIO_PORT_MAX; }

// The stored value: a COM number, or RADIO_PORT_NONE. A value outside 0 to
// 256 (other than -1) gives RADIO_PORT_NONE and `error` says so, naming the
// file, the section and the key; so does a settings file that is there but
// cannot be read (not a regular file, too large, no permission: see
// CheckProfileFile), naming the file and why. Otherwise `error` is emptied.
int ReadRadioPortSetting(const std::string& dataFolder, std::string* error);
// Stores a COM number. False when the file cannot be written.
bool WriteRadioPortSetting(const std::string& dataFolder, int comNumber);
