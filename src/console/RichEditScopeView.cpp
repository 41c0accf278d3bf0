#include "console/RichEditScopeView.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/LogLine.h"

QColor ToQColor(Colour colour) {
    return QColor(static_cast<int>(ColourRed(colour)), static_cast<int>(ColourGreen(colour)),
                  static_cast<int>(ColourBlue(colour)));
}

CRichEditScopeView::CRichEditScopeView(QWidget* parent) : QPlainTextEdit(parent) {
    // Appends carry no undo record: the undo stack would hold every line ever
    // shown, and trimming needs it off anyway.
    document()->setUndoRedoEnabled(false);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setFrameShape(QFrame::StyledPanel);
    setTabChangesFocus(false);
    setFocusPolicy(Qt::StrongFocus);
    // A right click goes to the window around the pane (its "Edit" menu).
    setContextMenuPolicy(Qt::NoContextMenu);
    end_ = QTextCursor(document());
    end_.movePosition(QTextCursor::End);
}

CRichEditScopeView::Entry::Entry(CRichEditScopeView& pane) : pane_(pane) { pane_.end_.beginEditBlock(); }

CRichEditScopeView::Entry::~Entry() { pane_.end_.endEditBlock(); }

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
    converted.reserve(static_cast<qsizetype>(std::strlen(text)));
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
    // Painting and scrolling wait for the end of this turn of the event
    // loop: a burst of appends costs one repaint, not one per append.
    if (!showPending_) {
        showPending_ = true;
        viewport()->setUpdatesEnabled(false);
        QMetaObject::invokeMethod(this, &CRichEditScopeView::ShowEnd, Qt::QueuedConnection);
    }
    if (colour != formatColour_ || !formatSet_) {
        format_.setForeground(ToQColor(colour));
        formatColour_ = colour;
        formatSet_ = true;
    }
    if (!end_.atEnd()) end_.movePosition(QTextCursor::End);
    // Inside an edit block the insert does not work out the cursor's
    // column, which would lay the line out (and keep that layout).
    end_.beginEditBlock();
    end_.insertText(converted, format_);
    if (document()->blockCount() > PANE_MAX_LINES) TrimOldest();
    end_.endEditBlock();
}

void CRichEditScopeView::TrimOldest() {
    QTextDocument* doc = document();
    const QTextBlock keep = doc->findBlockByNumber(doc->blockCount() - (PANE_MAX_LINES - PANE_TRIM_LINES));
    // Positions only: moving by blocks would lay out the lines being dropped.
    QTextCursor cut(doc);
    cut.beginEditBlock();
    cut.setPosition(keep.position(), QTextCursor::KeepAnchor);
    // The new first line keeps its own line format.
    const QTextCharFormat lineFormat = keep.charFormat();
    cut.removeSelectedText();
    cut.setBlockCharFormat(lineFormat);
    cut.endEditBlock();
}

void CRichEditScopeView::ShowEnd() {
    if (!showPending_) return;
    showPending_ = false;
    // The caret goes just before the last character while the viewport is
    // still frozen, so bringing it into view scrolls without painting; the
    // viewport is then painted once.
    const int length = TextLength();
    QTextCursor caret = textCursor();
    caret.setPosition(length > 0 ? length - 1 : 0);
    setTextCursor(caret);
    viewport()->setUpdatesEnabled(true);
}

void CRichEditScopeView::AppendTimeStamp(ScopeChannel channel) {
    AppendColoured(COLOUR_PURPLE, FormatTimeStampNow(channel).c_str());
}

void CRichEditScopeView::AppendTimeStampAt(ScopeChannel channel, std::time_t when) {
    AppendColoured(COLOUR_PURPLE, FormatTimeStamp(channel, when).c_str());
}

void CRichEditScopeView::DumpBytes(const std::uint8_t* bytes, std::size_t count, Colour colour) {
    if (bytes == nullptr) count = 0;
    Entry entry(*this);
    ForEachDumpPiece(bytes, count, [&](const char* piece) { AppendColoured(colour, piece); });
}

void CRichEditScopeView::PaneLog(Colour colour, const char* format, ...) {
    if (format == nullptr) return;
    char buffer[LOG_LINE_BUFFER] = {};
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    Entry entry(*this);
    AppendTimeStamp(ScopeChannel::Plain);
    AppendColoured(colour, buffer);
}
