// The serial scope view: the three worker messages, the null-text case,
// who owns scopeWindow, and messages that meet a closing window.
#include <QApplication>
#include <QDir>
#include <QtTest>
#include <atomic>
#include <thread>

#include "ConsoleTestSupport.h"
#include "common/ScopeEntry.h"
#include "console/ChildFrame.h"
#include "console/SerialScopeView.h"

using consoletest::ColourAt;
using consoletest::PaneText;
using consoletest::Q;
using consoletest::TempHome;

namespace {

// Runs send on a thread of its own, as the worker does, and waits for it.
template <typename Send>
std::intptr_t FromWorker(Send send) {
    std::atomic<bool> done{false};
    std::intptr_t result = -1;
    std::thread sender([&]() {
        result = send();
        done = true;
    });
    while (!done.load()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    sender.join();
    return result;
}

std::intptr_t SendFromWorker(WindowHandle handle, std::uint32_t message, WPARAM wParam, LPARAM lParam) {
    return FromWorker([&] { return SendWindowMessage(handle, message, wParam, lParam); });
}

// A scope entry made as the worker makes it: the day's log, then scopeWindow.
std::intptr_t ScopeFromWorker(std::uint32_t message, WPARAM wParam, LPARAM lParam) {
    return FromWorker([&] { return SendToScope(message, wParam, lParam); });
}

const QString kStamp = QStringLiteral("\\d\\d:\\d\\d:\\d\\d: ");

}  // namespace

class ScopeViewTest : public QObject {
    Q_OBJECT
private slots:
    void init() { bridge::Install(); }

    void handlesTheThreeMessagesFromTheWorkerThread() {
        TempHome home;
        SetScopeLogEnabled(true);
        CKestovaDoc doc;
        CFViewSerialScope view(&doc);
        view.OnInitialUpdate();
        QCOMPARE(scopeWindow.load(), view.Handle());
        QCOMPARE(doc.GetTitle(), QStringLiteral(". SerScope ."));

        const char text[] = "Sending \"CANCEL\" to SiteID = 7\n";
        QCOMPARE(ScopeFromWorker(WM_LOG_TEXT, COLOUR_PURPLE, reinterpret_cast<LPARAM>(text)), 0);
        const std::uint8_t frame[3] = {0x55, 0xAA, 0x07};
        ScopeFromWorker(WM_LOG_FIELD_BYTES, 3, reinterpret_cast<LPARAM>(frame));
        ScopeFromWorker(WM_LOG_COLLECT_BYTES, 2, reinterpret_cast<LPARAM>(frame));

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

        // Every entry also went to the daily scope log, as plain text.
        SetScopeLogEnabled(false);
        const QStringList logs = QDir(home.Path(QStringLiteral("Logs"))).entryList(QDir::Files);
        QCOMPARE(logs.size(), 1);
        const QString logged = QString::fromLatin1(home.ReadFile(QStringLiteral("Logs/") + logs.first()));
        QVERIFY2(logged.contains(QStringLiteral("Info   | Sending \"CANCEL\" to SiteID = 7\n")), qPrintable(logged));
        QVERIFY(logged.contains(QStringLiteral("Field  | 55 AA 07 \r\n")));
        QVERIFY(logged.contains(QStringLiteral("Collect| 55 AA \r\n")));
    }

    void nullTextsWriteNothingEmptyTextsOnlyThePrefix() {
        TempHome home;
        CKestovaDoc doc;
        CFViewSerialScope view(&doc);
        view.OnInitialUpdate();
        for (std::uint32_t message : {WM_LOG_TEXT, WM_LOG_FIELD_BYTES, WM_LOG_COLLECT_BYTES})
            QCOMPARE(SendFromWorker(view.Handle(), message, 4, 0), 0);
        QCOMPARE(PaneText(view.Pane()), QString());
        // A text without a line end runs on into the next entry's prefix.
        SendFromWorker(view.Handle(), WM_LOG_TEXT, COLOUR_DARK_RED, reinterpret_cast<LPARAM>(""));
        SendFromWorker(view.Handle(), WM_LOG_TEXT, COLOUR_DARK_RED, reinterpret_cast<LPARAM>("two\nlines"));
        QVERIFY(QRegularExpression(QStringLiteral("^") + kStamp + QStringLiteral("Info   \\| ") + kStamp +
                                   QStringLiteral("Info   \\| two\nlines$"))
                    .match(PaneText(view.Pane()))
                    .hasMatch());
    }

    void theNewestScopeGetsTheLinesAndClosingAnyClearsTheTarget() {
        TempHome home;
        CKestovaDoc doc1, doc2;
        auto* first = new CFViewSerialScope(&doc1);
        first->OnInitialUpdate();
        auto* second = new CFViewSerialScope(&doc2);
        second->OnInitialUpdate();
        QCOMPARE(scopeWindow.load(), second->Handle());

        WindowHandle firstHandle = first->Handle();
        delete first;
        QCOMPARE(scopeWindow.load(), WindowHandle(0));  // even though the second is still open
        // LogLine drops lines while there is no target.
        std::thread([]() { LogLine(COLOUR_DARK_RED, "dropped\n"); }).join();
        QCOMPARE(PaneText(second->Pane()), QString());
        // A message to the closed window's handle is not delivered.
        QCOMPARE(SendFromWorker(firstHandle, WM_LOG_TEXT, 0, reinterpret_cast<LPARAM>("x\n")), 0);
        delete second;
    }

    void aWindowClosingWhileTheWorkerSendsNeverHangsIt() {
        TempHome home;
        CKestovaDoc doc;
        auto* view = new CFViewSerialScope(&doc);
        view->OnInitialUpdate();
        const WindowHandle handle = view->Handle();

        std::atomic<bool> stop{false};
        std::atomic<int> sent{0};
        std::thread worker([&]() {
            while (!stop.load()) {
                SendWindowMessage(handle, WM_LOG_TEXT, COLOUR_DARK_BLUE, reinterpret_cast<LPARAM>("busy\n"));
                ++sent;
            }
        });
        // Let some lines through, then close the window under the sender.
        while (sent.load() < 20) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        delete view;
        const int before = sent.load();
        // The sender keeps running, its sends now return at once.
        while (sent.load() < before + 1000) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        stop = true;
        worker.join();
        QCOMPARE(scopeWindow.load(), WindowHandle(0));
    }

    void afterShutdownBeginsSendsReturnWithoutTheUserInterface() {
        TempHome home;
        CKestovaDoc doc;
        CFViewSerialScope view(&doc);
        view.OnInitialUpdate();
        bridge::BeginShutdown();
        // Sent from another thread while this one does not pump events: it
        // must come back on its own.
        std::thread([&]() {
            SendWindowMessage(view.Handle(), WM_LOG_TEXT, 0, reinterpret_cast<LPARAM>("late\n"));
        }).join();
        bridge::ResetShutdown();
        QCOMPARE(PaneText(view.Pane()), QString());
    }
};

QTEST_MAIN(ScopeViewTest)
#include "ScopeViewTest.moc"
