#include "console/RichEditScopeView.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QScrollBar>
#include <QShortcut>
#include <QToolButton>
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
    // A record: selectable and copyable, never edited by hand.
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // A right click goes to the window around the pane (its "Edit" menu).
    setContextMenuPolicy(Qt::NoContextMenu);
    end_ = QTextCursor(document());
    end_.movePosition(QTextCursor::End);

    pauseNote_ = new QLabel(this);
    pauseNote_->setObjectName(QStringLiteral("pauseNote"));
    pauseNote_->setStyleSheet(QStringLiteral(
        "QLabel { background: #fff3c4; color: #5a4400; border: 1px solid #c9a640; padding: 2px 6px; }"));
    pauseNote_->hide();

    findBar_ = new QWidget(this);
    findBar_->setObjectName(QStringLiteral("findBar"));
    findBar_->setAutoFillBackground(true);
    auto* row = new QHBoxLayout(findBar_);
    row->setContentsMargins(4, 2, 4, 2);
    row->addWidget(new QLabel(QStringLiteral("Find:"), findBar_));
    findField_ = new QLineEdit(findBar_);
    findField_->setObjectName(QStringLiteral("findField"));
    findField_->setClearButtonEnabled(true);
    row->addWidget(findField_, 1);
    auto button = [this, row](const QString& text, const QString& name) {
        auto* b = new QToolButton(findBar_);
        b->setText(text);
        b->setObjectName(name);
        b->setAutoRaise(true);
        row->addWidget(b);
        return b;
    };
    QToolButton* previous = button(QStringLiteral("Previous"), QStringLiteral("findPrevious"));
    QToolButton* next = button(QStringLiteral("Next"), QStringLiteral("findNext"));
    findCount_ = new QLabel(findBar_);
    findCount_->setObjectName(QStringLiteral("findCount"));
    row->addWidget(findCount_);
    QToolButton* close = button(QStringLiteral("Close"), QStringLiteral("findClose"));
    findBar_->hide();
    connect(next, &QToolButton::clicked, this, [this]() { FindNext(findField_->text(), false); });
    connect(previous, &QToolButton::clicked, this, [this]() { FindNext(findField_->text(), true); });
    connect(close, &QToolButton::clicked, this, &CRichEditScopeView::HideFindBar);
    connect(findField_, &QLineEdit::textChanged, this, [this](const QString& text) {
        HighlightMatches(text);
    });
    findField_->installEventFilter(this);

    auto shortcut = [this](const QKeySequence& keys, auto slot) {
        auto* s = new QShortcut(keys, this);
        s->setContext(Qt::WidgetWithChildrenShortcut);
        connect(s, &QShortcut::activated, this, slot);
    };
    shortcut(QKeySequence::Find, [this]() { ShowFindBar(); });
    shortcut(QKeySequence::FindNext, [this]() { FindNext(findField_->text(), false); });
    shortcut(QKeySequence::FindPrevious, [this]() { FindNext(findField_->text(), true); });
    shortcut(QKeySequence(Qt::Key_Pause), [this]() { SetPaused(!paused_); });
}

bool CRichEditScopeView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == findField_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            FindNext(findField_->text(), (key->modifiers() & Qt::ShiftModifier) != 0);
            return true;
        }
        if (key->key() == Qt::Key_Escape) {
            HideFindBar();
            return true;
        }
    }
    return QPlainTextEdit::eventFilter(watched, event);
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

    if (paused_) {
        // Held back, bounded like the pane: beyond the cap the oldest held
        // lines would be trimmed on resume anyway.
        const int lines = static_cast<int>(converted.count(QChar::ParagraphSeparator));
        held_.emplace_back(colour, std::move(converted));
        waitingLines_ += lines;
        std::size_t drop = 0;
        while (waitingLines_ > PANE_MAX_LINES + PANE_TRIM_LINES && drop + 1 < held_.size()) {
            waitingLines_ -= static_cast<int>(held_[drop].second.count(QChar::ParagraphSeparator));
            ++drop;
        }
        if (drop > 0) held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(drop));
        if (!showPending_) {
            showPending_ = true;
            QMetaObject::invokeMethod(this, &CRichEditScopeView::ShowEnd, Qt::QueuedConnection);
        }
        return;
    }
    Insert(colour, converted);
}

bool CRichEditScopeView::WindowIsCurrent() const {
    for (QWidget* w = parentWidget(); w != nullptr; w = w->parentWidget()) {
        if (auto* sub = qobject_cast<QMdiSubWindow*>(w)) {
            QMdiArea* area = sub->mdiArea();
            return area == nullptr || area->currentSubWindow() == sub;
        }
    }
    return true;
}

void CRichEditScopeView::Insert(Colour colour, const QString& converted) {
    if (WindowIsCurrent()) {
        // Not away from the find field the operator is typing in.
        if (!findBar_->isAncestorOf(QApplication::focusWidget())) setFocus(Qt::OtherFocusReason);
    } else {
        unseenLines_ += static_cast<int>(converted.count(QChar::ParagraphSeparator));
    }
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
    if (unseenLines_ != unseenShown_) {
        unseenShown_ = unseenLines_;
        emit UnseenLinesChanged(unseenLines_);
    }
    if (paused_) {
        viewport()->setUpdatesEnabled(true);
        UpdatePauseNote();
        return;
    }
    // The caret goes just before the last character while the viewport is
    // still frozen, so bringing it into view scrolls without painting; the
    // viewport is then painted once. The operator's sideways position in
    // long lines stays; a selected find match keeps the caret where it is.
    if (!findActive_) {
        QScrollBar* sideways = horizontalScrollBar();
        const int column = sideways->value();
        const int length = TextLength();
        QTextCursor caret = textCursor();
        caret.setPosition(length > 0 ? length - 1 : 0);
        setTextCursor(caret);
        sideways->setValue(column);
    }
    viewport()->setUpdatesEnabled(true);
}

void CRichEditScopeView::MarkSeen() {
    if (unseenLines_ == 0) return;
    unseenLines_ = unseenShown_ = 0;
    emit UnseenLinesChanged(0);
}

void CRichEditScopeView::SetPaused(bool paused) {
    if (paused == paused_) return;
    paused_ = paused;
    if (!paused_) {
        // Catch up in one change: the held lines as they came.
        std::vector<std::pair<Colour, QString>> held;
        held.swap(held_);
        waitingLines_ = 0;
        Entry entry(*this);
        for (const auto& piece : held) Insert(piece.first, piece.second);
    }
    UpdatePauseNote();
    emit PausedChanged(paused_);
}

void CRichEditScopeView::UpdatePauseNote() {
    if (!paused_) {
        pauseNote_->hide();
        return;
    }
    pauseNote_->setText(waitingLines_ == 1 ? QStringLiteral("Paused: 1 line waiting")
                                           : QStringLiteral("Paused: %1 lines waiting").arg(waitingLines_));
    pauseNote_->adjustSize();
    PlaceOverlays();
    pauseNote_->show();
    pauseNote_->raise();
}

void CRichEditScopeView::ClearPane() {
    held_.clear();
    waitingLines_ = 0;
    setExtraSelections({});
    clear();
    end_ = QTextCursor(document());
    end_.movePosition(QTextCursor::End);
    formatSet_ = false;
    UpdatePauseNote();
    MarkSeen();
}

void CRichEditScopeView::ShowFindBar() {
    findBar_->show();
    PlaceOverlays();
    findField_->setFocus(Qt::ShortcutFocusReason);
    findField_->selectAll();
}

void CRichEditScopeView::HideFindBar() {
    findBar_->hide();
    findActive_ = false;
    setExtraSelections({});
    PlaceOverlays();
    setFocus(Qt::OtherFocusReason);
}

int CRichEditScopeView::HighlightMatches(const QString& text) {
    // Every match gets a background; past a few thousand the count goes on
    // but the highlighting stops, so a search over a full pane stays quick.
    constexpr int kMaxHighlights = 5000;
    QList<QTextEdit::ExtraSelection> marks;
    int count = 0;
    if (!text.isEmpty()) {
        QTextEdit::ExtraSelection mark;
        mark.format.setBackground(QColor(255, 230, 90));
        QTextCursor found(document());
        for (;;) {
            found = document()->find(text, found);
            if (found.isNull()) break;
            if (++count <= kMaxHighlights) {
                mark.cursor = found;
                marks.append(mark);
            }
        }
    }
    setExtraSelections(marks);
    findCount_->setText(text.isEmpty() ? QString()
                        : count == 1   ? QStringLiteral("1 match")
                                       : QStringLiteral("%1 matches").arg(count));
    return count;
}

bool CRichEditScopeView::FindNext(const QString& text, bool backward) {
    if (findBar_->isHidden()) {
        ShowFindBar();
        if (text.isEmpty()) return false;
    }
    if (HighlightMatches(text) == 0) return false;
    const QTextDocument::FindFlags flags = backward ? QTextDocument::FindBackward : QTextDocument::FindFlags();
    QTextCursor found = document()->find(text, textCursor(), flags);
    if (found.isNull()) {
        QTextCursor wrap(document());
        if (backward) wrap.movePosition(QTextCursor::End);
        found = document()->find(text, wrap, flags);
    }
    if (found.isNull()) return false;
    findActive_ = true;
    setTextCursor(found);
    return true;
}

void CRichEditScopeView::PlaceOverlays() {
    const int barHeight = findBar_->isVisible() ? findBar_->sizeHint().height() : 0;
    setViewportMargins(0, 0, 0, barHeight);
    // The bar sits in the margin under the text, beside the vertical scroll
    // bar and above the horizontal one.
    const QRect text = viewport()->geometry();
    if (barHeight > 0) findBar_->setGeometry(text.left(), text.bottom() + 1, text.width(), barHeight);
    pauseNote_->move(qMax(text.left(), text.right() - pauseNote_->width() - 4), text.top() + 4);
}

void CRichEditScopeView::resizeEvent(QResizeEvent* event) {
    QPlainTextEdit::resizeEvent(event);
    PlaceOverlays();
}

void CRichEditScopeView::keyPressEvent(QKeyEvent* event) {
    // Enter belongs to the window around the pane (the echo dialog's "Send
    // Cmnd"); a record takes no line breaks.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->ignore();
        return;
    }
    if (event->key() == Qt::Key_Escape && findBar_->isVisible()) {
        HideFindBar();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
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
