#pragma once
// A small profile (INI) file reader and writer: "[Section]" lines and
// "Key=Value" lines. Reading tolerates anything; writing changes only the
// one value and keeps the rest of the file as it was.
//
// Only a regular file (after links) of at most PROFILE_MAX_SIZE bytes is
// read. Anything else there (a FIFO, a device, a folder, a huge file) is
// not read at all: every value takes its default, the readers can tell why
// through their `why`, and the writers refuse to replace it.
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A settings file holds a few hundred bytes.
constexpr std::size_t PROFILE_MAX_SIZE = std::size_t{1} << 20;

// True when `path` can be read as a profile: it does not exist (every value
// then takes its default) or it is a readable regular file of at most
// PROFILE_MAX_SIZE bytes. Otherwise false, and *why completes a sentence
// that begins with the file's name: "is a FIFO, not a regular file", "is
// 314572800 bytes long, more than 1048576", "cannot be read: Permission
// denied". Never waits for a writer of a FIFO.
bool CheckProfileFile(const std::string& path, std::string* why);

// The value as an integer the way a profile integer is read: leading blanks
// skipped, an optional sign, then digits; text that does not begin with a
// number reads as 0. A missing file, section or key gives defaultValue.
// `why` (when given) is emptied, or says why a file that is there was not
// read (as CheckProfileFile).
int GetProfileInt(const std::string& path, const std::string& section, const std::string& key,
                  int defaultValue, std::string* why = nullptr);
// The conversion GetProfileInt applies to a value, for other texts that are
// read the same way (operator input): blanks, sign, digits; 0 when the text
// does not begin with a number; clamped to the int range.
int ParseLeadingInt(std::string_view text);
// The value as text, or defaultValue when missing; `why` as GetProfileInt.
std::string GetProfileString(const std::string& path, const std::string& section,
                             const std::string& key, const std::string& defaultValue,
                             std::string* why = nullptr);
// Every "Key=Value" line of the section, in file order, with the values as
// GetProfileString gives them (trimmed, quotes stripped); the first section
// of that name, as the readers above use it. Empty for a missing file or
// section; `why` as GetProfileInt.
std::vector<std::pair<std::string, std::string>> GetProfileSection(const std::string& path,
                                                                   const std::string& section,
                                                                   std::string* why = nullptr);
// Sets the value, creating the file, the section or the key as needed. The
// file is replaced whole by WriteFileAtomically. False on failure, and for
// a file that is there but cannot be read as a profile (it stays as it is).
bool WriteProfileString(const std::string& path, const std::string& section,
                        const std::string& key, const std::string& value);
bool WriteProfileInt(const std::string& path, const std::string& section, const std::string& key,
                     int value);
