#pragma once
#include <cstddef>
#include <cstdint>

#include "common/Colours.h"

constexpr std::size_t LOG_LINE_BUFFER = 2048;  // a line holds at most 2047 characters

// The worker's log call: formats printf-style into a zeroed 2048-byte
// buffer (longer output is cut at 2047 characters) and makes a WM_LOG_TEXT
// scope entry of it with the colour (SendToScope): the day's scope log gets
// it always, the serial scope while there is one. A null format does nothing. Text from the radio must only ever be
// an argument, never the format.
void LogLine(Colour colour, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A message box with an OK button, shown from whichever thread calls; the
// call returns when the operator has closed it (or at once where the
// installed handler does not wait).
void ShowMessageBox(const char* text);

class IMessageBoxHandler {
public:
    virtual ~IMessageBoxHandler() = default;
    virtual void Show(const char* text) = 0;
};
// Installs the handler (not owned; must outlive its use). Null restores the
// default, which writes the text to stderr as one line.
void SetMessageBoxHandler(IMessageBoxHandler* handler);
