// The serial scope view: the three kinds of entry as the day's log has
// them, the null-text case, which scope gets the entries, entries that meet
// a closing window, and a worker that never waits for the pane.
#include <QApplication>
#include <QDir>
#include <QMdiArea>
#include <QtTest>
#include <atomic>
#include <thread>

#include "ConsoleTestSupport.h"
#include "common/ScopeEntry.h"
#include "console/ChildFrame.h"
#include "console/MainFrame.h"
#include "console/RichEditScopeView.h"
#include "console/SerialScopeView.h"
#include "records/Callers.h"

using consoletest::ColourAt;
using consoletest::CollectorWithFeed;
using consoletest::PaneText;
using consoletest::Q;

namespace {

// Runs `make` on a thread of its own, as the worker makes its entries, and
// waits for it without running this thread's event loop: the worker never
// waits for the user interface.
template <typename Make>
void FromWorker(Make make) {
    std::thread(make).join();
}

// The day's log as the pane shows it: every entry, line ends as "\n".
QString AsPane(QString log) { return log.replace(QStringLiteral("\r\n"), QStringLiteral("\n")); }

const QString kStamp = QStringLiteral("\\d\\d:\\d\\d:\\d\\d: ");

}  // namespace

class ScopeViewTest : public QObject {
    Q_OBJECT
private slots:
    void init() { bridge::Install(); }

    void showsTheThreeKindsOfEntryAsTheDayLogHasThem() {
        CollectorWithFeed rig;
        CKestovaDoc doc;
        CFViewSerialScope view(&doc, &rig.feed);
        view.OnInitialUpdate();
        QCOMPARE(rig.feed.Scope(), &view);
        QCOMPARE(doc.GetTitle(), QStringLiteral(". SerScope ."));

        const char text[] = "Sending \"CANCEL\" to SiteID = 7\n";
        const std::uint8_t frame[3] = {0x55, 0xAA, 0x07};
        FromWorker([&]() {
            rig.collector->Scope(WM_LOG_TEXT, COLOUR_PURPLE, reinterpret_cast<LPARAM>(text));
            rig.collector->Scope(WM_LOG_FIELD_BYTES, 3, reinterpret_cast<LPARAM>(frame));
            rig.collector->Scope(WM_LOG_COLLECT_BYTES, 2, reinterpret_cast<LPARAM>(frame));
        });
        QCOMPARE(PaneText(view.Pane()), QString());  // the worker never touches the window
        rig.feed.DrainAll();

        const QString shown = PaneText(view.Pane());
        const QRegularExpression expected(
            QStringLiteral("^") + kStamp + QStringLiteral("Info   \\| Sending \"CANCEL\" to SiteID = 7\n") + kStamp +
            QStringLiteral("Field  \\| 55 AA 07 \n") + kStamp + QStringLiteral("Collect\\| 55 AA \n$"));
        QVERIFY2(expected.match(shown).hasMatch(), qPrintable(shown));

        const int infoText = 19;
        QCOMPARE(ColourAt(view.Pane(), 0), Q(COLOUR_PURPLE));
        QCOMPARE(ColourAt(view.Pane(), infoText), Q(COLOUR_PURPLE));  // the sent-packet line's own colour
        const int fieldLine = shown.indexOf(QStringLiteral("Field"));
        QCOMPARE(ColourAt(view.Pane(), fieldLine + 9), Q(COLOUR_DARK_BLUE));
        const int collectLine = shown.indexOf(QStringLiteral("Collect"));
        QCOMPARE(ColourAt(view.Pane(), collectLine + 9), Q(COLOUR_DARK_GREEN));

        // One day's log, with every entry as plain text, time stamps included:
        // the pane shows the very same characters.
        const QStringList logs = QDir(rig.home.Path(QStringLiteral("Logs"))).entryList(QDir::Files);
        QCOMPARE(logs.size(), 1);
        const QString logged = rig.Log();
        QVERIFY2(logged.contains(QStringLiteral("Field  | 55 AA 07 \r\n")), qPrintable(logged));
        QCOMPARE(AsPane(logged), shown);
    }

    void nullTextsWriteNothingEmptyTextsOnlyThePrefix() {
        CollectorWithFeed rig;
        CKestovaDoc doc;
        CFViewSerialScope view(&doc, &rig.feed);
        view.OnInitialUpdate();
        FromWorker([&]() {
            for (std::uint32_t message : {WM_LOG_TEXT, WM_LOG_FIELD_BYTES, WM_LOG_COLLECT_BYTES})
                rig.collector->Scope(message, 4, 0);
        });
        rig.feed.DrainAll();
        QCOMPARE(PaneText(view.Pane()), QString());
        QCOMPARE(rig.Log(), QString());
        // A text without a line end runs on into the next entry's prefix.
        FromWorker([&]() {
            LogLine(*rig.collector, COLOUR_DARK_RED, "%s", "");
            LogLine(*rig.collector, COLOUR_DARK_RED, "two\nlines");
        });
        rig.feed.DrainAll();
        const QString shown = PaneText(view.Pane());
        QVERIFY2(QRegularExpression(QStringLiteral("^") + kStamp + QStringLiteral("Info   \\| ") + kStamp +
                                    QStringLiteral("Info   \\| two\nlines$"))
                     .match(shown)
                     .hasMatch(),
                 qPrintable(shown));
        QCOMPARE(AsPane(rig.Log()), shown);
    }

    void theNewestScopeGetsTheEntriesAndClosingAnyLeavesThemToTheLog() {
        CollectorWithFeed rig;
        CKestovaDoc doc1, doc2;
        auto* first = new CFViewSerialScope(&doc1, &rig.feed);
        first->OnInitialUpdate();
        auto* second = new CFViewSerialScope(&doc2, &rig.feed);
        second->OnInitialUpdate();
        QCOMPARE(rig.feed.Scope(), second);

        // An entry on its way when a scope closes, and one made afterwards:
        // no scope shows them, even though the second is still open.
        FromWorker([&]() { LogLine(*rig.collector, COLOUR_DARK_RED, "on its way\n"); });
        delete first;
        QCOMPARE(rig.feed.Scope(), nullptr);
        FromWorker([&]() { LogLine(*rig.collector, COLOUR_DARK_RED, "after the close\n"); });
        rig.feed.DrainAll();
        QCOMPARE(PaneText(second->Pane()), QString());
        QVERIFY(rig.Log().contains(QStringLiteral("on its way\n")));
        QVERIFY(rig.Log().contains(QStringLiteral("after the close\n")));
        delete second;
    }

    void appendsToABackgroundScopeKeepTheActiveWindowAndMarkItsTab() {
        CollectorWithFeed rig;
        CMainFrame frame;
        rig.collector->SetScopeView(frame.Feed()->Queue());
        frame.show();
        QVERIFY(QTest::qWaitForWindowActive(&frame));
        frame.SetNewDocumentView(DocumentView::Scope);
        CChildFrame* older = frame.CreateDocumentWindow(QString());
        CChildFrame* newer = frame.CreateDocumentWindow(QString());  // gets the entries
        frame.MdiArea()->setActiveSubWindow(older);

        FromWorker([&]() {
            for (int i = 0; i < 3; ++i) LogLine(*rig.collector, COLOUR_PURPLE, "line\n");
        });
        QTRY_COMPARE(newer->windowTitle(), QStringLiteral(". SerScope . (3 new)"));
        QCOMPARE(frame.MdiArea()->activeSubWindow(), older);
        QVERIFY(!newer->ScopeView()->Pane()->hasFocus());

        frame.MdiArea()->setActiveSubWindow(newer);
        QCOMPARE(newer->windowTitle(), QStringLiteral(". SerScope ."));
        FromWorker([&]() { LogLine(*rig.collector, COLOUR_PURPLE, "line\n"); });
        QTRY_VERIFY(newer->ScopeView()->Pane()->hasFocus());
        QCOMPARE(newer->windowTitle(), QStringLiteral(". SerScope ."));
    }

    void aWindowClosingWhileTheWorkerLogsLosesNothingFromTheLog() {
        CollectorWithFeed rig;
        CKestovaDoc doc;
        auto* view = new CFViewSerialScope(&doc, &rig.feed);
        view->OnInitialUpdate();

        std::atomic<bool> stop{false};
        std::atomic<int> made{0};
        std::thread worker([&]() {
            while (!stop.load()) {
                LogLine(*rig.collector, COLOUR_DARK_BLUE, "busy\n");
                ++made;
            }
        });
        // Let some lines through, then close the window under the worker,
        // which goes on.
        QTRY_VERIFY(PaneText(view->Pane()).count(QStringLiteral("busy")) >= 20);
        delete view;
        const int before = made.load();
        QTRY_VERIFY(made.load() > before + 1000);
        stop = true;
        worker.join();
        rig.feed.DrainAll();
        QCOMPARE(rig.feed.Scope(), nullptr);
        QCOMPARE(rig.Log().count(QStringLiteral("busy\n")), made.load());
    }

    void entriesMadeAfterShutdownBeganStillReachTheDayLog() {
        CollectorWithFeed rig;
        CKestovaDoc doc;
        CFViewSerialScope view(&doc, &rig.feed);
        view.OnInitialUpdate();
        bridge::BeginShutdown();
        FromWorker([&]() { LogLine(*rig.collector, COLOUR_DARK_RED, "late\n"); });
        bridge::ResetShutdown();
        QVERIFY(rig.Log().endsWith(QStringLiteral("Info   | late\n")));
    }

    // The worker answers a burst of Powerups while the pane never drains
    // (the event loop does not run): the queue keeps what fits and counts
    // the rest, the day's log has every line in order, and the pane, once
    // the event loop runs, says where it skipped and where the lines are.
    // The queue holds one drain's batch: the skipped run comes after it.
    void aPaneThatNeverDrainsDoesNotHoldTheWorkerUp() {
        constexpr std::size_t kCapacity = ScopeFeed::BATCH;
        constexpr int kFrames = 600;  // four entries each
        CollectorWithFeed rig(kCapacity);
        CKestovaDoc doc;
        CFViewSerialScope view(&doc, &rig.feed);
        view.OnInitialUpdate();

        QStringList expected;
        std::vector<std::uint8_t> payload(POWERUP_PAYLOAD_SIZE, 0);
        payload[4] = 1;  // one track
        for (int i = 0; i < kFrames; ++i) {
            const auto site = static_cast<std::uint8_t>(1 + i % 60);
            payload[2] = site;
            rig.radio.port->Feed(BuildFrame(site, COLLECTOR_ID, static_cast<std::uint8_t>(i), PT_POWERUP, payload));
            expected << QStringLiteral("Sending ACK to SiteID = %1 TrackNum = 0").arg(site);
        }
        consoletest::WorkerThread worker(*rig.collector);
        int acks = 0;
        for (QDeadlineTimer deadline(60000); acks < kFrames && !deadline.hasExpired();) {
            acks += consoletest::CountFrames(rig.radio.port->TakeWritten(), PT_ACK);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        QCOMPARE(acks, kFrames);
        QVERIFY(rig.collector->Stop(std::chrono::seconds(10)));  // without the event loop

        const QString log = rig.Log();
        QStringList logged;
        for (const auto& match : QRegularExpression(QStringLiteral("Sending ACK to [^\r\n]*")).globalMatch(log))
            logged << match.captured();
        QCOMPARE(logged, expected);

        const std::uint64_t skipped = rig.feed.Queue()->Skipped();
        QVERIFY(skipped > 0);
        QCOMPARE(rig.feed.Queue()->Size(), kCapacity);
        QTRY_VERIFY(PaneText(view.Pane()).contains(QStringLiteral("skipped")));
        // What the pane shows and what it skipped are the day's log, entry for entry.
        const QStringList lines = AsPane(log).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(std::uint64_t(lines.size()), kCapacity + skipped);
        const QStringList shown = PaneText(view.Pane()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(shown.size(), int(kCapacity) + 1);
        QCOMPARE(shown.mid(0, kCapacity), lines.mid(0, kCapacity));
        QVERIFY2(shown.last().contains(QStringLiteral("%1 lines skipped").arg(skipped)) &&
                     shown.last().contains(QString::fromStdString(rig.collector->ScopeLogPath())),
                 qPrintable(shown.last()));
    }
};

QTEST_MAIN(ScopeViewTest)
#include "ScopeViewTest.moc"
