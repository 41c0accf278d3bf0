// The console's start-up with a stored port, with none and with the dialog
// cancelled; one worker for the process; the clean stop at the end.
#include <QApplication>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QAbstractButton>
#include <QMessageBox>
#include <QDir>
#include <QLabel>
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

// The console on the test's data folder, its radio an in-memory port of
// `radio` (or, when `memoryPort` is false, the real terminal port).
struct Console {
    Console(const TempHome& home, FakeRadio& radio, std::function<int()> choose = {}, bool memoryPort = true) {
        ConsoleOptions options;
        options.dataFolder = home.Folder();
        if (memoryPort) options.makeRadioPort = [&radio]() { return radio.MakePort(); };
        options.clock = &radio.clock;
        options.choosePort = [this, choose]() {
            ++asked;
            shownWhenAsked = app->MainFrame() != nullptr && app->MainFrame()->isVisible();
            return choose ? choose() : -1;
        };
        options.useDesktopViewer = false;
        options.confirmExit = [this]() {
            ++confirmations;
            return confirmAnswer;
        };
        app = std::make_unique<CKestovaApp>(options);
    }
    CMainFrame* Frame() const { return app->MainFrame(); }
    Collector& C() const { return *app->GetCollector(); }
    ScopeFeed* Feed() const { return Frame()->Feed(); }
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
    int confirmations = 0;
    bool confirmAnswer = true;
};

CFViewSerialScope* ScopeOf(QMdiSubWindow* window) {
    auto* child = qobject_cast<CChildFrame*>(window);
    return child != nullptr ? child->ScopeView() : nullptr;
}

QStringList Lines(const QString& paneText) {
    QStringList lines = paneText.split(QLatin1Char('\n'));
    for (QString& line : lines) line.remove(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d: ")));
    return lines;
}

std::vector<std::uint8_t> PowerupFrame(std::uint8_t site, std::uint8_t tracks = 1) {
    std::vector<std::uint8_t> payload(17, 0);
    payload[0] = 0x34;
    payload[1] = 0x12;
    payload[2] = site;
    payload[4] = tracks;
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
        Console console(home, radio);
        QVERIFY(console.app->InitInstance({}));

        QCOMPARE(console.asked, 0);
        QCOMPARE(Lines(PaneText(console.FirstMainView()->Pane())),
                 QStringList({QStringLiteral("Program Started!"), QStringLiteral("Our (Collector) ID is 250."),
                              QStringLiteral("Using Serial Port COMM 3"), QString(), QString()}));
        QCOMPARE(radio.port->lastOpenedIndex, std::uint8_t(2));
        QCOMPARE(console.Frame()->NewDocumentView(), DocumentView::Scope);

        const auto windows = console.Windows();
        QCOMPARE(windows.size(), 2);
        QCOMPARE(windows[0]->windowTitle(), QStringLiteral("Kestova"));
        QCOMPARE(windows[1]->windowTitle(), QStringLiteral(". SerScope ."));
        QCOMPARE(console.Frame()->MdiArea()->activeSubWindow(), windows[1]);
        auto* scope = qobject_cast<CChildFrame*>(windows[1])->ScopeView();
        QVERIFY(scope != nullptr);
        QCOMPARE(console.Feed()->Scope(), scope);

        QVERIFY(console.app->WorkerStarted());
        QCOMPARE(console.C().State(), WorkerState::Running);
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
        QCOMPARE(console.Feed()->Scope(), newer);
        console.Windows()[1]->close();
        QTRY_COMPARE(console.Windows().size(), 2);
        QCOMPARE(console.Feed()->Scope(), nullptr);

        QVERIFY(console.app->StopWorker());
        QCOMPARE(console.C().State(), WorkerState::Ended);
    }

    void withNoStoredPortTheDialogAsksBeforeTheFrameShowsAndTheChoiceIsKept() {
        TempHome home;
        FakeRadio radio;
        {
            Console console(home, radio, [] { return 5; });
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
        Console again(home, radio, [] { return 6; });
        QVERIFY(again.app->InitInstance({}));
        QCOMPARE(again.asked, 0);
        QCOMPARE(radio.port->lastOpenedIndex, std::uint8_t(4));
    }

    void cancellingTheDialogStillStartsTheWorkerWithoutAScope() {
        TempHome home;
        home.WriteFile(QStringLiteral("K7_Dialups.ini"), "[Radio Serial Port]\nRadio_Port=-1\n");
        FakeRadio radio;
        Console console(home, radio, [] { return -1; });
        QVERIFY(console.app->InitInstance({}));
        QCOMPARE(console.asked, 1);
        QCOMPARE(Lines(PaneText(console.FirstMainView()->Pane())),
                 QStringList({QStringLiteral("Program Started!"), QStringLiteral("Our (Collector) ID is 250."),
                              QString()}));
        QCOMPARE(QString::fromLatin1(home.ReadFile(QStringLiteral("K7_Dialups.ini"))),
                 QStringLiteral("[Radio Serial Port]\nRadio_Port=-1\n"));
        QCOMPARE(console.Windows().size(), 1);
        QCOMPARE(console.Feed()->Scope(), nullptr);
        QCOMPARE(console.Frame()->NewDocumentView(), DocumentView::Main);
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
        QCOMPARE(console.C().State(), WorkerState::Running);
    }

    void closingTheFrameStopsTheWorkerCleanlyWhileItLogs() {
        TempHome home;
        home.WriteFile(QStringLiteral("K7_Dialups.ini"), "[Radio Serial Port]\nRadio_Port=1\n");
        FakeRadio radio;
        Console console(home, radio);
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

        // The operator's close asks first; No keeps everything running.
        console.confirmAnswer = false;
        console.Frame()->close();
        QCOMPARE(console.confirmations, 1);
        QCOMPARE(console.C().State(), WorkerState::Running);
        console.confirmAnswer = true;
        console.Frame()->close();
        feeding = false;
        feeder.join();
        QCOMPARE(console.C().State(), WorkerState::Ended);
        QVERIFY(!console.app->WorkerAbandoned());
        QCOMPARE(console.Feed()->Scope(), nullptr);
        QCOMPARE(home.ReadFile(QStringLiteral("Callers.bin")).size(), 2560);
        CallerRegistry saved(home.Folder());
        int used = 0;
        QVERIFY(saved.Load(&used));
        QVERIFY(used > 0);
    }

    void aPortThatDoesNotOpenIsReportedInTheScopeTheDayLogAndTheLinkPane() {
        TempHome home;
        home.WriteFile(QStringLiteral("K7_Dialups.ini"), "[Radio Serial Port]\nRadio_Port=7\n");
        QVERIFY(QDir(home.Path()).mkpath(QStringLiteral("Ports")));
        QVERIFY(QFile::link(QStringLiteral("/nonexistent/ttyUSB7"), home.Path(QStringLiteral("Ports/COM7"))));
        FakeRadio radio;
        Console console(home, radio, {}, false);
        QVERIFY(console.app->InitInstance({}));

        // The scope shows it once the feed has drained.
        const CRichEditScopeView* scope = ScopeOf(console.Windows().value(1))->Pane();
        const QRegularExpression error(
            QStringLiteral("Info   \\| ERROR: Serial Port COMM 7 \\(.*\\) could not be opened"));
        QTRY_VERIFY2(PaneText(scope).contains(error), qPrintable(PaneText(scope)));
        QDir logs(home.Path(QStringLiteral("Logs")));
        const QStringList days = logs.entryList({QStringLiteral("Scope-*.txt")});
        QCOMPARE(days.size(), 1);
        QVERIFY(home.ReadFile(QStringLiteral("Logs/") + days[0]).contains("ERROR: Serial Port COMM 7"));
        console.Frame()->UpdateLinkPane();
        const QString link = console.Frame()->LinkPane()->text();
        QVERIFY2(link.startsWith(QStringLiteral("COM7 \u2192 /nonexistent/ttyUSB7  |  not open")), qPrintable(link));
    }

    void aPortOutOfRangeOrAFileThatCannotBeOpenedIsSaid() {
        TempHome home;
        home.WriteFile(QStringLiteral("K7_Dialups.ini"), "[Radio Serial Port]\nRadio_Port=257\n");
        FakeRadio radio;
        consoletest::BoxCloser boxes;
        {
            // 257 would wrap round to COM1: said, then asked for.
            Console console(home, radio, [] { return 2; });
            QVERIFY(console.app->InitInstance({}));
            QCOMPARE(boxes.texts.size(), 1);
            for (const QString& needed : {home.Path(QStringLiteral("K7_Dialups.ini")), QStringLiteral("\"Radio Serial Port\""),
                                          QStringLiteral("\"Radio_Port\""), QStringLiteral("257")})
                QVERIFY2(boxes.texts[0].contains(needed), qPrintable(boxes.texts[0]));
            QCOMPARE(console.asked, 1);
            QCOMPARE(radio.port->lastOpenedIndex, std::uint8_t(1));
        }
        {
            // A listed entry without a COM number (65535) is no choice either.
            home.WriteFile(QStringLiteral("K7_Dialups.ini"), "[Radio Serial Port]\nRadio_Port=-1\n");
            Console console(home, radio, [] { return 65535; });
            QVERIFY(console.app->InitInstance({}));
            QVERIFY2(boxes.texts.last().contains(QStringLiteral("no COM number")), qPrintable(boxes.texts.last()));
            QCOMPARE(console.Windows().size(), 1);
            QVERIFY(home.ReadFile(QStringLiteral("K7_Dialups.ini")).contains("Radio_Port=-1"));
        }
        // A file argument, relative or absolute, that cannot be read.
        for (const QString& file : {QStringLiteral("no-such.kes"), home.Path(QStringLiteral("no-such.kes"))}) {
            Console console(home, radio);
            QVERIFY(!console.app->InitInstance({file}));
            QVERIFY2(boxes.texts.last().contains(file + QStringLiteral("\" could not be opened")),
                     qPrintable(boxes.texts.last()));
        }
    }

    void switchingThePortWhileFramesFlowKeepsTheWorkerThePanesAndEveryFrame() {
        TempHome home;
        home.WriteFile(QStringLiteral("K7_Dialups.ini"), "[Radio Serial Port]\nRadio_Port=1\n");
        FakeRadio radio;
        Console console(home, radio, [] { return 4; });
        QVERIFY(console.app->InitInstance({}));
        CRichEditScopeView* pane = ScopeOf(console.Windows().value(1))->Pane();

        constexpr int kFrames = 200;
        std::thread feeder([&]() {
            for (int i = 0; i < kFrames; ++i) {
                radio.port->Feed(testsupport::MakeFrame(9, 77, static_cast<std::uint8_t>(i), 3, {1, 2}));
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        QTRY_VERIFY(PaneText(pane).count(QStringLiteral("Field  | ")) >= 20);
        QVERIFY(console.app->SelectRadioPort());
        feeder.join();
        QTRY_COMPARE(PaneText(pane).count(QStringLiteral("Field  | ")), kFrames);
        QVERIFY(PaneText(pane).contains(QStringLiteral("Info   | Switching to Serial Port COMM 4\n")));
        QCOMPARE(radio.port->lastOpenedIndex, std::uint8_t(3));
        QVERIFY(home.ReadFile(QStringLiteral("K7_Dialups.ini")).contains("Radio_Port=4"));
        QCOMPARE(console.Windows().size(), 2);
        QCOMPARE(console.C().State(), WorkerState::Running);
    }

    // What the worker has to tell the operator comes up in boxes nobody
    // waits for: the worker answers on while they are open, and the clean
    // stop closes them.
    void theWorkersTextsForTheOperatorArePostedBoxesThatHoldNothingUp() {
        TempHome home;
        home.WriteFile(QStringLiteral("K7_Dialups.ini"), "[Radio Serial Port]\nRadio_Port=1\n");
        FakeRadio radio;
        Console console(home, radio);
        QVERIFY(console.app->InitInstance({}));

        // 79 one-track sites leave one entry of the registry: a two-track
        // site finds no room for its second track, the next site none at all.
        for (std::uint8_t site = 1; site <= 79; ++site) radio.port->Feed(PowerupFrame(site));
        radio.port->Feed(PowerupFrame(80, 2));
        radio.port->Feed(PowerupFrame(81));
        int acks = 0;
        const auto ackCount = [&]() { return acks += consoletest::CountFrames(radio.port->TakeWritten(), PT_ACK); };
        QTRY_COMPARE(ackCount(), 81);
        QTRY_COMPARE(consoletest::OpenBoxes().size(), 2);
        QStringList texts;
        for (QMessageBox* box : consoletest::OpenBoxes()) {
            texts << box->text();
            QCOMPARE(box->windowTitle(), QStringLiteral("Kestova"));
            QCOMPARE(box->objectName(), QStringLiteral("kestovaMessageBox"));
        }
        texts.sort();
        QCOMPARE(texts, QStringList({QStringLiteral("ERROR - NOT ENOUGH SPACE FOR CALLERS"),
                                     QStringLiteral("ERROR NOT ENOUGH SPACE FOR CALLERS")}));

        // Still unanswered, they hold nothing up.
        radio.port->Feed(PowerupFrame(12));
        QTRY_COMPARE(ackCount(), 82);
        consoletest::OpenBoxes().first()->button(QMessageBox::Ok)->click();
        QTRY_COMPARE(consoletest::OpenBoxes().size(), 1);
        QVERIFY(console.app->StopWorker());
        QTRY_COMPARE(consoletest::OpenBoxes().size(), 0);
    }
};

QTEST_MAIN(StartupTest)
#include "StartupTest.moc"
