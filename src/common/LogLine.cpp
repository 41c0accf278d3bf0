#include "common/LogLine.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

void LogLineV(IOutput& out, Colour colour, const char* format, va_list args) {
    if (format == nullptr) return;
    char buffer[LOG_LINE_BUFFER] = {};
    std::vsnprintf(buffer, sizeof buffer, format, args);
    out.Scope(WM_LOG_TEXT, colour, reinterpret_cast<LPARAM>(buffer));
}

void LogLine(IOutput& out, Colour colour, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogLineV(out, colour, format, args);
    va_end(args);
}

void TellOperator(IOutput& out, const char* text) {
    EngineEvent event;
    event.kind = EventKind::OperatorMessage;
    event.text = text != nullptr ? text : "";
    out.Publish(std::move(event));
}
