#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "common/Colours.h"
#include "common/Output.h"

constexpr std::size_t LOG_LINE_BUFFER = 2048;  // a line holds at most 2047 characters

// The core's log call: formats printf-style into a zeroed 2048-byte buffer
// (longer output is cut at 2047 characters) and makes a WM_LOG_TEXT scope
// entry of it with the colour: the day's scope log gets it always, the
// serial scope while there is one. A null format does nothing. Text from
// the radio must only ever be an argument, never the format.
void LogLine(IOutput& out, Colour colour, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// The same with the arguments as a va_list (for log calls of their own).
void LogLineV(IOutput& out, Colour colour, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));
