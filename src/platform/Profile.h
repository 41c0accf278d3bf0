#pragma once
// A small profile (INI) file reader and writer: "[Section]" lines and
// "Key=Value" lines. Reading tolerates anything; writing changes only the
// one value and keeps the rest of the file as it was.
#include <string>
#include <string_view>

// The value as an integer the way a profile integer is read: leading blanks
// skipped, an optional sign, then digits; text that does not begin with a
// number reads as 0. A missing file, section or key gives defaultValue.
int GetProfileInt(const std::string& path, const std::string& section, const std::string& key,
                  int defaultValue);
// The conversion GetProfileInt applies to a value, for other texts that are
// read the same way (operator input): blanks, sign, digits; 0 when the text
// does not begin with a number; clamped to the int range.
int ParseLeadingInt(std::string_view text);
// The value as text, or defaultValue when missing.
std::string GetProfileString(const std::string& path, const std::string& section,
                             const std::string& key, const std::string& defaultValue);
// Sets the value, creating the file, the section or the key as needed. The
// file is replaced whole by WriteFileAtomically. False on failure.
bool WriteProfileString(const std::string& path, const std::string& section,
                        const std::string& key, const std::string& value);
bool WriteProfileInt(const std::string& path, const std::string& section, const std::string& key,
                     int value);
