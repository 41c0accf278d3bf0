#pragma once
// The text of the log panes and the serial scope, independent of any window:
// time-stamp prefixes per channel and the hexadecimal dump layout. The Qt
// panes, the headless collector's stdout and the daily scope log all use it,
// so the three show the same characters.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

enum class ScopeChannel { Plain, Info, Field, Collect };

constexpr std::size_t SCOPE_PREFIX_WIDTH = 19;   // Info, Field and Collect prefixes
constexpr std::size_t DUMP_BYTES_PER_LINE = 41;

// "HH:MM:SS: " (plain) or "HH:MM:SS: Info   | " and so on, from the local
// time of `now`. A failed local-time conversion prints each field as -1.
std::string FormatTimeStamp(ScopeChannel channel, std::time_t now);
// The same with the current time.
std::string FormatTimeStampNow(ScopeChannel channel);

// Calls append(text) for each piece the pane appends for a dump of `count`
// bytes: 41 pairs "XX " and "\n" per full line, then 19 blanks for the next
// line; after the last byte the rest and "\r\n". The buffer is fixed, so a
// dump allocates nothing.
template <typename Append>
void ForEachDumpPiece(const std::uint8_t* bytes, std::size_t count, Append&& append) {
    static constexpr char digits[] = "0123456789ABCDEF";
    static constexpr char indent[SCOPE_PREFIX_WIDTH + 1] = "                   ";
    char line[DUMP_BYTES_PER_LINE * 3 + 3];
    std::size_t used = 0;
    std::size_t inLine = 0;
    for (std::size_t i = 0; i < count; ++i) {
        line[used++] = digits[bytes[i] >> 4];
        line[used++] = digits[bytes[i] & 0x0F];
        line[used++] = ' ';
        if (++inLine == DUMP_BYTES_PER_LINE) {
            line[used++] = '\n';
            line[used] = '\0';
            append(static_cast<const char*>(line));
            append(static_cast<const char*>(indent));
            used = 0;
            inLine = 0;
        }
    }
    line[used++] = '\r';
    line[used++] = '\n';
    line[used] = '\0';
    append(static_cast<const char*>(line));
}

// The whole dump as one string (tests, plain-text writers).
std::string FormatDump(const std::uint8_t* bytes, std::size_t count);
