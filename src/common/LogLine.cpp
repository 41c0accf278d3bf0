#include "common/LogLine.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

void LogLine(IOutput& out, Colour colour, const char* format, ...) {
    if (format == nullptr) return;
    char buffer[LOG_LINE_BUFFER] = {};
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    out.Scope(WM_LOG_TEXT, colour, reinterpret_cast<LPARAM>(buffer));
}

void TellOperator(IOutput& out, const char* text) {
    EngineEvent event;
    event.kind = EventKind::OperatorMessage;
    event.text = text != nullptr ? text : "";
    out.Publish(std::move(event));
}
