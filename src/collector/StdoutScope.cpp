#include "collector/StdoutScope.h"

#include <ctime>

#include "common/ScopeEntry.h"
#include "common/ScopeText.h"

namespace {
constexpr const char* kReset = "\x1b[0m";
}

const char* AnsiColour(Colour colour) {
    // The eight basic colours read well on light and dark terminals alike;
    // each pane colour maps to the one with the same hue.
    static const char* const codes[8] = {"",         "\x1b[31m", "\x1b[32m", "\x1b[33m",
                                         "\x1b[34m", "\x1b[35m", "\x1b[36m", "\x1b[37m"};
    const unsigned index = (ColourRed(colour) > 64 ? 1u : 0u) |
                           (ColourGreen(colour) > 64 ? 2u : 0u) |
                           (ColourBlue(colour) > 64 ? 4u : 0u);
    return codes[index];
}

void StdoutScope::Show(const ScopeEntry& entry) { Write(entry.prefix, entry.body, entry.colour); }

void StdoutScope::PaneLine(Colour colour, const std::string& text) {
    const std::string prefix = FormatTimeStampNow(ScopeChannel::Plain);
    Write(prefix, text, colour);
    // Scope entries reach the day's log where they are made; the main
    // pane's lines only here.
    if (paneLog_) paneLog_(prefix + text);
}

void StdoutScope::Raw(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
}

void StdoutScope::Write(const std::string& prefix, const std::string& body, Colour colour) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!colour_) {
            std::fwrite(prefix.data(), 1, prefix.size(), out_);
            std::fwrite(body.data(), 1, body.size(), out_);
        } else {
            // The colour ends before the trailing line end, so a line that
            // follows never starts in the wrong colour.
            std::size_t end = body.size();
            while (end > 0 && (body[end - 1] == '\n' || body[end - 1] == '\r')) --end;
            std::fputs(AnsiColour(COLOUR_PURPLE), out_);
            std::fwrite(prefix.data(), 1, prefix.size(), out_);
            std::fputs(kReset, out_);
            if (end > 0) {
                std::fputs(AnsiColour(colour), out_);
                std::fwrite(body.data(), 1, end, out_);
                std::fputs(kReset, out_);
            }
            std::fwrite(body.data() + end, 1, body.size() - end, out_);
        }
        std::fflush(out_);
    }
}
