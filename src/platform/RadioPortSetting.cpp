#include "platform/RadioPortSetting.h"

#include "platform/Paths.h"
#include "platform/Profile.h"

int ReadRadioPortSetting(const std::string& dataFolder, std::string* error) {
    const std::string path = dataFolder + SETTINGS_FILE_NAME;
    std::string unread;
    const int value = GetProfileInt(path, RADIO_PORT_SECTION, RADIO_PORT_KEY, RADIO_PORT_NONE, &unread);
    if (error != nullptr) error->clear();
    if (!unread.empty()) {
        if (error != nullptr)
            *error = "The settings file \"" + path + "\" " + unread +
                     ": it is not read, and no radio port is chosen.";
        return RADIO_PORT_NONE;
    }
    if (value == RADIO_PORT_NONE || IsRadioPortNumber(value)) return value;
    if (error != nullptr) {
        *error = "The radio port in \"" + path + "\", section \"" + RADIO_PORT_SECTION +
                 "\", key \"" + RADIO_PORT_KEY + "\" is " + std::to_string(value) +
                 ": it must be a COM number from 0 to " + std::to_string(RADIO_PORT_MAX) +
                 " (0 is COM" + std::to_string(RADIO_PORT_MAX) + "), or -1 for none.";
    }
    return RADIO_PORT_NONE;
}

bool WriteRadioPortSetting(const std::string& dataFolder, int comNumber) {
    return WriteProfileInt(dataFolder + SETTINGS_FILE_NAME, RADIO_PORT_SECTION, RADIO_PORT_KEY,
                           comNumber);
}
