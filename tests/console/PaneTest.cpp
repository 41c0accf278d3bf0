// The log pane: appends, time stamps, dumps, caret and focus, capacity.
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QTextBlock>
#include <QtTest>
#include <ctime>

#include "ConsoleTestSupport.h"
#include "console/RichEditScopeView.h"

using consoletest::ColourAt;
using consoletest::PaneText;
using consoletest::Q;

namespace {

std::time_t LocalTime(int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 5;
    t.tm_mday = 1;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

QString Pairs(int from, int count) {
    QString out;
    for (int i = 0; i < count; ++i)
        out += QStringLiteral("%1 ").arg((from + i) & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
    return out;
}

const QString kIndent(19, QLatin1Char(' '));

}  // namespace

class PaneTest : public QObject {
    Q_OBJECT
private slots:
    void appendsInColourAndLeavesTheCaretBeforeTheLastCharacter() {
        QWidget window;
        CRichEditScopeView pane(&window);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));

        pane.AppendColoured(COLOUR_DARK_RED, "abc\n");
        pane.AppendColoured(COLOUR_DARK_BLUE, "de");
        QCOMPARE(PaneText(&pane), QStringLiteral("abc\nde"));
        QCOMPARE(ColourAt(&pane, 0), Q(COLOUR_DARK_RED));
        QCOMPARE(ColourAt(&pane, 4), Q(COLOUR_DARK_BLUE));
        QCOMPARE(pane.TextLength(), 6);
        // The caret follows once the event loop has run.
        QCoreApplication::processEvents();
        QCOMPARE(pane.textCursor().position(), 5);
        QVERIFY(!pane.textCursor().hasSelection());
        QVERIFY(pane.hasFocus());

        // Null and empty texts change nothing.
        pane.AppendColoured(COLOUR_PURPLE, "");
        pane.AppendColoured(COLOUR_PURPLE, nullptr);
        QCOMPARE(PaneText(&pane), QStringLiteral("abc\nde"));
    }

    void aPaneIsARecordThatCopiesFindsPausesAndClears() {
        QWidget window;
        CRichEditScopeView pane(&window);
        pane.resize(400, 300);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        const QString before = QStringLiteral("alpha beta\nbeta gamma\n");
        pane.AppendColoured(COLOUR_DARK_BLUE, "alpha beta\nbeta gamma\n");
        QCoreApplication::processEvents();

        // Typed text, Enter, pastes and cuts change nothing; copying works.
        QApplication::clipboard()->setText(QStringLiteral("pasted"));
        QTest::keyClicks(&pane, QStringLiteral("typed"));
        QTest::keyClick(&pane, Qt::Key_Return);
        QTest::keyClick(&pane, Qt::Key_V, Qt::ControlModifier);
        QTest::keyClick(&pane, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(&pane, Qt::Key_X, Qt::ControlModifier);
        QTest::keyClick(&pane, Qt::Key_Delete);
        QCOMPARE(PaneText(&pane), before);
        QTest::keyClick(&pane, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), before);

        // Find: every match highlighted; the next one selected, wrapping round.
        QCOMPARE(pane.HighlightMatches(QStringLiteral("BETA")), 2);
        QCOMPARE(pane.extraSelections().size(), 2);
        QVERIFY(pane.FindNext(QStringLiteral("beta"), false));
        const int first = pane.textCursor().selectionStart();
        QVERIFY(pane.FindNext(QStringLiteral("beta"), false));
        QVERIFY(pane.textCursor().selectionStart() != first);
        QVERIFY(pane.FindNext(QStringLiteral("beta"), true));
        QCOMPARE(pane.textCursor().selectionStart(), first);

        // Paused, the pane stands still and counts the lines that wait;
        // resumed, it shows them all in order.
        pane.SetPaused(true);
        pane.AppendColoured(COLOUR_PURPLE, "one\ntwo\n");
        pane.AppendColoured(COLOUR_DARK_RED, "three\n");
        QCoreApplication::processEvents();
        QCOMPARE(PaneText(&pane), before);
        QCOMPARE(pane.WaitingLines(), 3);
        QVERIFY(pane.findChild<QLabel*>(QStringLiteral("pauseNote"))->text().contains(QStringLiteral("3 lines")));
        pane.SetPaused(false);
        QCOMPARE(PaneText(&pane), before + QStringLiteral("one\ntwo\nthree\n"));
        QCOMPARE(ColourAt(&pane, before.size() + 8), Q(COLOUR_DARK_RED));

        // Clear empties the pane; appends go on.
        pane.ClearPane();
        pane.AppendColoured(COLOUR_PURPLE, "after\n");
        QCOMPARE(PaneText(&pane), QStringLiteral("after\n"));
    }

    void lineEndsAndBytesOfAnyValue() {
        CRichEditScopeView pane;
        // "\r\n", "\r" and "\n" each end one line; no text runs on without one.
        pane.AppendColoured(COLOUR_PURPLE, "a\r\nb\rc\nno end");
        pane.AppendColoured(COLOUR_PURPLE, "+next");
        QCOMPARE(PaneText(&pane), QStringLiteral("a\nb\nc\nno end+next"));
        // Bytes above 0x7F from the radio show as characters, never fail.
        CRichEditScopeView other;
        other.AppendColoured(COLOUR_PURPLE, "\xE9\xFF!");
        QCOMPARE(PaneText(&other), QString::fromLatin1("\xE9\xFF!"));
    }

    void timeStampsAreZeroPaddedAndPurple() {
        CRichEditScopeView pane;
        const std::time_t t = LocalTime(9, 5, 9);
        pane.AppendTimeStampAt(ScopeChannel::Plain, t);
        pane.AppendTimeStampAt(ScopeChannel::Info, t);
        pane.AppendTimeStampAt(ScopeChannel::Field, t);
        pane.AppendTimeStampAt(ScopeChannel::Collect, t);
        QCOMPARE(PaneText(&pane), QStringLiteral("09:05:09: 09:05:09: Info   | 09:05:09: Field  | "
                                                 "09:05:09: Collect| "));
        for (int i = 0; i < pane.TextLength(); ++i) QCOMPARE(ColourAt(&pane, i), Q(COLOUR_PURPLE));
    }

    void dumpsOfZeroFortyOneAndEightyTwoBytes() {
        std::uint8_t bytes[82];
        for (int i = 0; i < 82; ++i) bytes[i] = static_cast<std::uint8_t>(0x55 + i);

        CRichEditScopeView zero;
        zero.DumpBytes(bytes, 0, COLOUR_DARK_BLUE);
        QCOMPARE(PaneText(&zero), QStringLiteral("\n"));
        zero.DumpBytes(nullptr, 5, COLOUR_DARK_BLUE);
        QCOMPARE(PaneText(&zero), QStringLiteral("\n\n"));

        CRichEditScopeView one;
        one.DumpBytes(bytes, 41, COLOUR_DARK_GREEN);
        QCOMPARE(PaneText(&one), Pairs(0x55, 41) + QStringLiteral("\n") + kIndent + QStringLiteral("\n"));
        QCOMPARE(ColourAt(&one, 0), Q(COLOUR_DARK_GREEN));
        QCOMPARE(ColourAt(&one, one.TextLength() - 2), Q(COLOUR_DARK_GREEN));

        CRichEditScopeView two;
        two.DumpBytes(bytes, 82, COLOUR_DARK_BLUE);
        QCOMPARE(PaneText(&two), Pairs(0x55, 41) + QStringLiteral("\n") + kIndent + Pairs(0x55 + 41, 41) +
                                     QStringLiteral("\n") + kIndent + QStringLiteral("\n"));

        // A 45-byte frame: one full line, then 19 blanks and the last 4 pairs.
        CRichEditScopeView frame;
        frame.DumpBytes(bytes, 45, COLOUR_DARK_BLUE);
        QCOMPARE(PaneText(&frame), Pairs(0x55, 41) + QStringLiteral("\n") + kIndent +
                                       Pairs(0x55 + 41, 4) + QStringLiteral("\n"));
        // The pane's text ends in "\r\n" counted as one line end; the caret
        // sits just before it.
        QCoreApplication::processEvents();
        QCOMPARE(frame.textCursor().position(), frame.TextLength() - 1);
    }

    void paneLogPutsThePlainStampFirstAndCutsLongLines() {
        CRichEditScopeView pane;
        pane.PaneLog(COLOUR_DARK_RED, "Our (Collector) ID is %d.\n", 250);
        const QString text = PaneText(&pane);
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d: Our \\(Collector\\) ID is 250\\.\n$"))
                     .match(text)
                     .hasMatch(),
                 qPrintable(text));
        QCOMPARE(ColourAt(&pane, 0), Q(COLOUR_PURPLE));
        QCOMPARE(ColourAt(&pane, 10), Q(COLOUR_DARK_RED));

        pane.PaneLog(COLOUR_DARK_RED, nullptr);
        QCOMPARE(PaneText(&pane), text);

        CRichEditScopeView longPane;
        const std::string big(5000, 'x');
        longPane.PaneLog(COLOUR_DARK_RED, "%s", big.c_str());
        QCOMPARE(longPane.TextLength(), 10 + 2047);
    }

    void aBurstIsShownOnceWithTheNewestLineInView() {
        QWidget window;
        window.resize(400, 300);
        CRichEditScopeView pane(&window);
        pane.resize(400, 300);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        char line[32];
        for (int i = 0; i < 2000; ++i) {
            std::snprintf(line, sizeof line, "line %d\n", i);
            pane.AppendColoured(COLOUR_DARK_BLUE, line);
        }
        // The text is all there at once; the view catches up with the turn.
        QCOMPARE(pane.document()->blockCount(), 2001);
        QCoreApplication::processEvents();
        QVERIFY(pane.viewport()->updatesEnabled());
        QCOMPARE(pane.textCursor().position(), pane.TextLength() - 1);
        QCOMPARE(pane.textCursor().block().text(), QStringLiteral("line 1999"));
        QVERIFY(pane.viewport()->rect().contains(pane.cursorRect()));

        // A caret the operator moved goes back to the end with the next line.
        QTextCursor top = pane.textCursor();
        top.movePosition(QTextCursor::Start);
        pane.setTextCursor(top);
        pane.AppendColoured(COLOUR_DARK_RED, "last\n");
        QCoreApplication::processEvents();
        QCOMPARE(pane.textCursor().block().text(), QStringLiteral("last"));
        QVERIFY(pane.viewport()->rect().contains(pane.cursorRect()));
    }

    void anEntryIsOneChangeAndKeepsItsPieces() {
        CRichEditScopeView pane;
        const std::uint8_t bytes[2] = {0x01, 0xFE};
        {
            CRichEditScopeView::Entry entry(pane);
            pane.AppendTimeStampAt(ScopeChannel::Field, LocalTime(23, 59, 58));
            pane.DumpBytes(bytes, 2, COLOUR_DARK_BLUE);
            // Inside an entry the text is already complete.
            QCOMPARE(PaneText(&pane), QStringLiteral("23:59:58: Field  | 01 FE \n"));
        }
        pane.AppendColoured(COLOUR_DARK_RED, "after\n");
        QCOMPARE(PaneText(&pane), QStringLiteral("23:59:58: Field  | 01 FE \nafter\n"));
        QCOMPARE(ColourAt(&pane, 0), Q(COLOUR_PURPLE));
        QCOMPARE(ColourAt(&pane, 19), Q(COLOUR_DARK_BLUE));
        QCOMPARE(ColourAt(&pane, 26), Q(COLOUR_DARK_RED));
    }

    void oldestLinesGoBeyondTheCap() {
        CRichEditScopeView pane;
        char line[32];
        for (int i = 0; i < PANE_MAX_LINES + 500; ++i) {
            std::snprintf(line, sizeof line, "line %d\n", i);
            pane.AppendColoured(COLOUR_DARK_BLUE, line);
        }
        QVERIFY(pane.document()->blockCount() <= PANE_MAX_LINES);
        QVERIFY(pane.document()->blockCount() >= PANE_MAX_LINES - PANE_TRIM_LINES);
        // The newest lines are all there, the oldest are gone.
        const QString last = pane.document()->lastBlock().previous().text();
        QCOMPARE(last, QStringLiteral("line %1").arg(PANE_MAX_LINES + 499));
        QVERIFY(pane.document()->firstBlock().text() != QStringLiteral("line 0"));
        QCOMPARE(ColourAt(&pane, 0), Q(COLOUR_DARK_BLUE));
    }
};

QTEST_MAIN(PaneTest)
#include "PaneTest.moc"
