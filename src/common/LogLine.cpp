#include "common/LogLine.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "common/ScopeEntry.h"

void LogLine(Colour colour, const char* format, ...) {
    if (format == nullptr) return;
    char buffer[LOG_LINE_BUFFER] = {};
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    SendToScope(WM_LOG_TEXT, colour, reinterpret_cast<LPARAM>(buffer));
}

namespace {
std::atomic<IMessageBoxHandler*> messageBoxHandler{nullptr};

void WriteMessageToStderr(const char* text) {
    // One line: line breaks inside the text become blanks.
    std::string line;
    for (const char* p = text; *p; ++p) {
        if (*p == '\r') continue;
        line.push_back(*p == '\n' ? ' ' : *p);
    }
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}
}  // namespace

void ShowMessageBox(const char* text) {
    if (text == nullptr) text = "";
    IMessageBoxHandler* handler = messageBoxHandler.load();
    if (handler != nullptr) {
        handler->Show(text);
    } else {
        WriteMessageToStderr(text);
    }
}

void SetMessageBoxHandler(IMessageBoxHandler* handler) { messageBoxHandler = handler; }
