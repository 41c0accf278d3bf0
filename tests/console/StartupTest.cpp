// The console's start-up with a stored port, with none and with the dialog
// cancelled; one worker for the process; the clean stop at the end.
#include <QApplication>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QAbstractButton>
#include <QMessageBox>
#include <QtTest>
#include <cstring>

#include "ConsoleTestSupport.h"
#include "console/ChildFrame.h"
#include "console/KestovaApp.h"
#include "console/MainFrame.h"
#include "console/MainView.h"
#include "console/SerialScopeView.h"
#include "records/Callers.h"
#include "unit/TestSupport.h"

using consoletest::FakeRadio;
using consoletest::PaneText;
using consoletest::TempHome;

namespace {

struct Console {
    explicit Console(FakeRadio& radio, std::function<int()> choose = {}) {
        ConsoleOptions options;
        options.installRadioPort = [] {};  // the test's in-memory port stays
        options.choosePort = [this, choose]() {
            ++asked;
            shownWhenAsked = app->MainFrame() != nullptr && app->MainFrame()->isVisible();
            return choose ? choose() : -1;
        };
        options.useDesktopViewer = false;
        app = std::make_unique<CKestovaApp>(options);
        (void)radio;
    }
    CMainFrame* Frame() const { return app->MainFrame(); }
    QList<QMdiSubWindow*> Windows() const {
        return Frame()->MdiArea()->subWindowList(QMdiArea::CreationOrder);
    }
    CMainView* FirstMainView() const {
        auto* child = qobject_cast<CChildFrame*>(Windows().value(0));
        return child != nullptr ? child->MainView() : nullptr;
    }
    std::unique_ptr<CKestovaApp> app;
    int asked = 0;
    bool shownWhenAsked = true;
};

QStringList Lines(const QString& paneText) {
    QStringList lines = paneText.split(QLatin1Char('\n'));
    for (QString& line : lines) line.remove(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d: ")));
    return lines;
}

std::vector<std::uint8_t> PowerupFrame(std::uint8_t site) {
    std::vector<std::uint8_t> payload(17, 0);
    payload[0] = 0x34;
    payload[1] = 0x12;
    payload[2] = site;
    payload[4] = 1;
    payload[5] = 1;
    std::memcpy(&payload[9], "UNIT001", 7);
    return testsupport::MakeFrame(site, COLLECTOR_ID, 0, PT_POWERUP, payload);
}

}  // namespace

class StartupTest : public QObject {
    Q_OBJECT
private slots:
    void aStoredPortOpensTheScopeWithoutAsking() {
        TempHome home;
        home.WriteFile(QStringLiteral("K7_Dialups.ini"), "[Radio Serial Port]\nRadio_Port=3\n");
        FakeRadio radio;
        Console console(radio);
        QVERIFY(console.app->InitInstance({}));

        QCOMPARE(console.asked, 0);
        QCOMPARE(Lines(PaneText(console.FirstMainView()->Pane())),
                 QStringList({QStringLiteral("Program Started!"), QStringLiteral("Our (Collector) ID is 250."),
                              QStringLiteral("Using Serial Port COMM 3"), QString(), QString()}));
        QCOMPARE(radio.port->lastOpenedIndex, std::uint8_t(2));
        QCOMPARE(childViewKind.load(), 1);

        const auto windows = console.Windows();
        QCOMPARE(windows.size(), 2);
        QCOMPARE(windows[0]->windowTitle(), QStringLiteral("Kestova"));
        QCOMPARE(windows[1]->windowTitle(), QStringLiteral(". SerScope ."));
        QCOMPARE(console.Frame()->MdiArea()->activeSubWindow(), windows[1]);
        auto* scope = qobject_cast<CChildFrame*>(windows[1])->ScopeView();
        QVERIFY(scope != nullptr);
        QCOMPARE(scopeWindow.load(), scope->Handle());

        QVERIFY(console.app->WorkerStarted());
        QCOMPARE(console.app->GetStartRecord().threadState.load(), std::uint8_t(WORKER_RUNNING));
        QVERIFY(console.Frame()->windowState() & Qt::WindowMaximized);
        QCOMPARE(console.Frame()->windowTitle(), QStringLiteral(". SerScope . - Kestova"));

        // Traffic reaches the scope through the worker.
        radio.port->Feed(testsupport::MakeFrame(9, 77, 1, 3, {1, 2, 3}));
        QTRY_VERIFY(PaneText(scope->Pane()).contains(QStringLiteral("Field  | 55 AA 09 4D")));

        // File, New: a further scope that takes the lines over.
        console.Frame()->OnFileNew();
        QCOMPARE(console.Windows().size(), 3);
        auto* newer = qobject_cast<CChildFrame*>(console.Windows()[2])->ScopeView();
        QVERIFY(newer != nullptr);
        QCOMPARE(scopeWindow.load(), newer->Handle());
        console.Windows()[1]->close();
        QTRY_COMPARE(console.Windows().size(), 2);
        QCOMPARE(scopeWindow.load(), WindowHandle(0));

        QVERIFY(console.app->StopWorker());
        QCOMPARE(console.app->GetStartRecord().threadState.load(), std::uint8_t(WORKER_ENDED));
    }

    void withNoStoredPortTheDialogAsksBeforeTheFrameShowsAndTheChoiceIsKept() {
        TempHome home;
        FakeRadio radio;
        {
            Console console(radio, [] { return 5; });
            QVERIFY(console.app->InitInstance({}));
            QCOMPARE(console.asked, 1);
            QVERIFY(!console.shownWhenAsked);
            QCOMPARE(radio.port->lastOpenedIndex, std::uint8_t(4));
            QCOMPARE(console.Windows().size(), 2);
        }
        const QString ini = QString::fromLatin1(home.ReadFile(QStringLiteral("K7_Dialups.ini")));
        QVERIFY2(ini.contains(QStringLiteral("[Radio Serial Port]")) && ini.contains(QStringLiteral("Radio_Port=5")),
                 qPrintable(ini));

        // The next start asks no more.
        ResetProcessValues();
        Console again(radio, [] { return 6; });
        QVERIFY(again.app->InitInstance({}));
        QCOMPARE(again.asked, 0);
        QCOMPARE(radio.port->lastOpenedIndex, std::uint8_t(4));
    }

    void cancellingTheDialogStillStartsTheWorkerWithoutAScope() {
        TempHome home;
        home.WriteFile(QStringLiteral("K7_Dialups.ini"), "[Radio Serial Port]\nRadio_Port=-1\n");
        FakeRadio radio;
        Console console(radio, [] { return -1; });
        QVERIFY(console.app->InitInstance({}));
        QCOMPARE(console.asked, 1);
        QCOMPARE(Lines(PaneText(console.FirstMainView()->Pane())),
                 QStringList({QStringLiteral("Program Started!"), QStringLiteral("Our (Collector) ID is 250."),
                              QString()}));
        QCOMPARE(QString::fromLatin1(home.ReadFile(QStringLiteral("K7_Dialups.ini"))),
                 QStringLiteral("[Radio Serial Port]\nRadio_Port=-1\n"));
        QCOMPARE(console.Windows().size(), 1);
        QCOMPARE(scopeWindow.load(), WindowHandle(0));
        QCOMPARE(childViewKind.load(), 0);
        QVERIFY(console.app->WorkerStarted());

        // File, New now gives a further main view, which starts nothing.
        console.Frame()->OnFileNew();
        QCOMPARE(console.Windows().size(), 2);
        QCOMPARE(console.asked, 1);
        auto* second = qobject_cast<CChildFrame*>(console.Windows()[1])->MainView();
        QVERIFY(second != nullptr);
        QVERIFY(PaneText(second->Pane()).contains(QStringLiteral("already running")));
        QVERIFY(!console.app->StartWorker());

        // Closing the first main view leaves the worker alone.
        console.Windows()[0]->close();
        QTRY_COMPARE(console.Windows().size(), 1);
        QCOMPARE(console.app->GetStartRecord().threadState.load(), std::uint8_t(WORKER_RUNNING));
    }

    void closingTheFrameStopsTheWorkerCleanlyWhileItLogs() {
        TempHome home;
        home.WriteFile(QStringLiteral("K7_Dialups.ini"), "[Radio Serial Port]\nRadio_Port=1\n");
        FakeRadio radio;
        Console console(radio);
        QVERIFY(console.app->InitInstance({}));
        auto* scope = qobject_cast<CChildFrame*>(console.Windows()[1])->ScopeView();

        // Powerups keep the worker logging and writing the registry file.
        std::atomic<bool> feeding{true};
        std::thread feeder([&]() {
            for (std::uint8_t site = 1; feeding.load(); site = static_cast<std::uint8_t>(site % 60 + 1)) {
                if (radio.port->Pending() < 2000) radio.port->Feed(PowerupFrame(site));
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        QTRY_VERIFY(PaneText(scope->Pane()).count(QStringLiteral("Received Powerup")) >= 20);

        console.Frame()->close();
        feeding = false;
        feeder.join();
        QCOMPARE(console.app->GetStartRecord().threadState.load(), std::uint8_t(WORKER_ENDED));
        QVERIFY(!console.app->WorkerAbandoned());
        QCOMPARE(scopeWindow.load(), WindowHandle(0));
        QCOMPARE(home.ReadFile(QStringLiteral("Callers.bin")).size(), 2560);
        QVERIFY(LoadCallers() > 0);
    }

    void aMessageBoxOfTheWorkerHoldsItUntilClosedOrShutdown() {
        TempHome home;
        FakeRadio radio;
        Console console(radio);  // installs the console's message boxes

        auto boxes = []() {
            QList<QMessageBox*> open;
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) open << box;
            return open;
        };
        std::atomic<bool> returned{false};
        std::thread worker([&]() {
            ShowMessageBox("ERROR - NOT ENOUGH SPACE FOR CALLERS");
            returned = true;
        });
        QTRY_COMPARE(boxes().size(), 1);
        QCOMPARE(boxes()[0]->text(), QStringLiteral("ERROR - NOT ENOUGH SPACE FOR CALLERS"));
        QCOMPARE(boxes()[0]->windowTitle(), QStringLiteral("Kestova"));
        QTest::qWait(20);
        QVERIFY(!returned.load());
        boxes()[0]->button(QMessageBox::Ok)->click();
        QTRY_VERIFY(returned.load());
        worker.join();

        // At shutdown a waiting box lets the worker go.
        returned = false;
        std::thread second([&]() {
            ShowMessageBox("ERROR NOT ENOUGH SPACE FOR CALLERS");
            returned = true;
        });
        QTRY_COMPARE(boxes().size(), 1);
        bridge::BeginShutdown();
        second.join();
        QVERIFY(returned.load());
        QTRY_COMPARE(boxes().size(), 0);
        bridge::ResetShutdown();
    }
};

QTEST_MAIN(StartupTest)
#include "StartupTest.moc"
