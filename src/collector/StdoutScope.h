#pragma once
// The headless collector's serial scope: a window target that writes each
// scope entry to a stream exactly as the scope pane would hold it, flushed
// per entry, with ANSI colours close to the pane's when asked for, and
// hands its main-pane lines to the daily scope log (scope entries reach the
// log where they are made).
#include <cstdio>
#include <mutex>
#include <string>

#include "common/Colours.h"
#include "common/Messages.h"

class StdoutScope final : public IWindowTarget {
public:
    StdoutScope(std::FILE* out, bool colour) : out_(out), colour_(colour) {}

    std::intptr_t HandleMessage(std::uint32_t message, WPARAM wParam, LPARAM lParam) override;

    // A main-pane line: the plain time-stamp prefix, then text in colour.
    void PaneLine(Colour colour, const std::string& text);
    // Text of its own (answers to operator commands), written as it is.
    void Raw(const std::string& text);

private:
    void Write(const std::string& prefix, const std::string& body, Colour colour);

    std::mutex mutex_;
    std::FILE* out_;
    bool colour_;
};

// The ANSI foreground sequence nearest to a pane colour ("" for black,
// which would vanish on a dark terminal).
const char* AnsiColour(Colour colour);
