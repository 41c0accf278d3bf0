// Placeholder until the profile file lands.
#include "platform/Profile.h"

int GetProfileInt(const std::string&, const std::string&, const std::string&, int d) { return d; }
std::string GetProfileString(const std::string&, const std::string&, const std::string&,
                             const std::string& d) { return d; }
bool WriteProfileString(const std::string&, const std::string&, const std::string&,
                        const std::string&) { return false; }
bool WriteProfileInt(const std::string&, const std::string&, const std::string&, int) { return false; }
