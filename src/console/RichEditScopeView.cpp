#include "console/RichEditScopeView.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <cstdarg>
#include <cstdio>

#include "common/LogLine.h"

QColor ToQColor(Colour colour) {
    return QColor(static_cast<int>(ColourRed(colour)), static_cast<int>(ColourGreen(colour)),
                  static_cast<int>(ColourBlue(colour)));
}

CRichEditScopeView::CRichEditScopeView(QWidget* parent) : QPlainTextEdit(parent) {
    // Appends carry no undo record; trimming needs the undo stack off anyway.
    document()->setUndoRedoEnabled(false);
    document()->setMaximumBlockCount(PANE_MAX_LINES);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setFrameShape(QFrame::StyledPanel);
    setTabChangesFocus(false);
    setFocusPolicy(Qt::StrongFocus);
    // A right click goes to the window around the pane (its "Edit" menu).
    setContextMenuPolicy(Qt::NoContextMenu);
}

int CRichEditScopeView::TextLength() const {
    // Every line, the last included, carries one separator in the count.
    return document()->characterCount() - 1;
}

void CRichEditScopeView::AppendColoured(Colour colour, const char* text) {
    if (text == nullptr || *text == '\0') return;
    // One line end for "\r\n", "\r" or "\n"; every other byte is shown as
    // the Latin-1 character of that value, so no byte from the radio can make
    // the append fail.
    QString converted;
    const char* p = text;
    while (*p != '\0') {
        const char c = *p++;
        if (c == '\r') {
            if (*p == '\n') ++p;
            converted.append(QChar::ParagraphSeparator);
        } else if (c == '\n') {
            converted.append(QChar::ParagraphSeparator);
        } else {
            converted.append(QChar(static_cast<unsigned char>(c)));
        }
    }

    setFocus(Qt::OtherFocusReason);
    format_.setForeground(ToQColor(colour));
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    end.insertText(converted, format_);

    const int length = TextLength();
    QTextCursor caret(document());
    caret.setPosition(length > 0 ? length - 1 : 0);
    setTextCursor(caret);
}

void CRichEditScopeView::AppendTimeStamp(ScopeChannel channel) {
    AppendColoured(COLOUR_PURPLE, FormatTimeStampNow(channel).c_str());
}

void CRichEditScopeView::AppendTimeStampAt(ScopeChannel channel, std::time_t when) {
    AppendColoured(COLOUR_PURPLE, FormatTimeStamp(channel, when).c_str());
}

void CRichEditScopeView::DumpBytes(const std::uint8_t* bytes, std::size_t count, Colour colour) {
    if (bytes == nullptr) count = 0;
    ForEachDumpPiece(bytes, count, [&](const char* piece) { AppendColoured(colour, piece); });
}

void CRichEditScopeView::PaneLog(Colour colour, const char* format, ...) {
    if (format == nullptr) return;
    char buffer[LOG_LINE_BUFFER] = {};
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    AppendTimeStamp(ScopeChannel::Plain);
    AppendColoured(colour, buffer);
}
