#pragma once
// The log pane of the console: the main view's pane, the serial scope and
// the echo dialog's pane are all one of these. Text is appended at the end in
// a colour; the pane's own font is used for everything.
//
// Capacity: a pane keeps at most PANE_MAX_LINES lines. Beyond that the
// oldest lines are dropped as new ones arrive, so memory stays bounded and
// an append costs the same after millions of lines as after ten.
//
// Appends change the text at once; painting, scrolling and placing the caret
// wait for the end of the current turn of the event loop, so a burst of
// lines costs one repaint.
//
// A pane is a record, not an editor: it takes no typed text, cuts or
// pastes, and leaves Enter to the window around it. Text can be selected,
// copied and searched (a find bar along its bottom edge highlights every
// match). Paused, it holds new lines back and says how many wait; resumed,
// it shows them all. Clear empties the pane only.
#include <QPlainTextEdit>
#include <QPointer>
#include <utility>
#include <vector>
#include <QTextCharFormat>
#include <QTextCursor>
#include <cstddef>
#include <cstdint>

#include "common/Colours.h"
#include "common/ScopeText.h"

constexpr int PANE_MAX_LINES = 50000;
// Lines dropped at a time once the cap is passed: one removal per thousand
// lines, not one per line.
constexpr int PANE_TRIM_LINES = 1000;

QColor ToQColor(Colour colour);

class QLabel;
class QLineEdit;

class CRichEditScopeView : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit CRichEditScopeView(QWidget* parent = nullptr);

    // Appends `text` at the end in `colour` and gives the pane the keyboard
    // focus when its window is the current one (a pane in a background tab
    // counts the lines as unseen instead); when the event loop next runs, the caret is put just before the
    // last character and brought into view. An empty or
    // null text does nothing. A carriage return, alone or before a line feed,
    // ends a line the same way a line feed does.
    void AppendColoured(Colour colour, const char* text);
    // The channel's time-stamp prefix for the current local time, in purple.
    void AppendTimeStamp(ScopeChannel channel);
    // The same for a given time (tests).
    void AppendTimeStampAt(ScopeChannel channel, std::time_t when);
    // `count` bytes as hexadecimal pairs, 41 to a line, continuation lines
    // indented by 19 blanks.
    void DumpBytes(const std::uint8_t* bytes, std::size_t count, Colour colour);
    // A printf-style line after the plain time stamp. The line is cut at
    // 2047 characters. A null format does nothing.
    void PaneLog(Colour colour, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Appends made while an Entry lives (a time stamp and its line, a whole
    // dump) reach the pane's layout as one change: the line is laid out once
    // instead of once per piece. Entries may nest.
    class Entry {
    public:
        explicit Entry(CRichEditScopeView& pane);
        ~Entry();
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;

    private:
        CRichEditScopeView& pane_;
    };

    // The pane's text length as the caret counts it (line ends count one).
    int TextLength() const;

    // Pause: appends are held back (bounded like the pane) until Resume.
    void SetPaused(bool paused);
    bool Paused() const { return paused_; }
    int WaitingLines() const { return waitingLines_; }
    // Empties the pane and drops what a pause holds back.
    void ClearPane();

    // The find bar: shown with the focus in its field.
    void ShowFindBar();
    // Highlights every match of `text` (case-insensitive) and returns their
    // number; then selects the next (or previous) one from the caret,
    // wrapping round. False when there is none.
    int HighlightMatches(const QString& text);
    bool FindNext(const QString& text, bool backward);
    QLineEdit* FindField() const { return findField_; }

    // Lines appended while the pane's window was not the current one.
    int UnseenLines() const { return unseenLines_; }
    void MarkSeen();

signals:
    void UnseenLinesChanged(int lines);
    void PausedChanged(bool paused);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Repaints the pane and brings the caret into view; queued by the first
    // append of a turn of the event loop.
    void ShowEnd();
    // Drops the oldest lines down to PANE_MAX_LINES - PANE_TRIM_LINES.
    void TrimOldest();

    // Whether the pane's window is the one the operator is looking at: the
    // current tab for a pane in a document window, else its own window.
    bool WindowIsCurrent() const;
    void Insert(Colour colour, const QString& converted);
    void PlaceOverlays();
    void UpdatePauseNote();
    void HideFindBar();

    QTextCursor end_;  // always at the end of the text
    QTextCharFormat format_;
    Colour formatColour_ = 0;
    bool formatSet_ = false;
    bool showPending_ = false;

    bool paused_ = false;
    std::vector<std::pair<Colour, QString>> held_;
    int waitingLines_ = 0;
    int unseenLines_ = 0;
    int unseenShown_ = 0;
    bool findActive_ = false;  // a match is selected: appends leave the caret
    QLabel* pauseNote_ = nullptr;
    QWidget* findBar_ = nullptr;
    QLineEdit* findField_ = nullptr;
    QLabel* findCount_ = nullptr;
};
