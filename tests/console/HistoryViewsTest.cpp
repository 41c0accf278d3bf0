// The Sites, Trains and Train views over a small history: what their models
// show, that the trains model reads only the pages shown, filters and
// sorting, and the train's chart and exports.
#include <QLineSeries>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTableView>
#include <QTableWidget>
#include <QtTest>

#include "ConsoleTestSupport.h"
#include "console/ConsoleHistory.h"
#include "console/MainFrame.h"
#include "console/SitesView.h"
#include "console/TrainView.h"
#include "console/TrainsView.h"
#include "engine/EventHub.h"
#include "records/Callers.h"
#include "records/Journal.h"
#include "records/TrainReport.h"

using consoletest::FakeRadio;
using consoletest::TempHome;

namespace {

// Writes the report of a train of `axles` axles in cars of 4: site 500 on
// track 1, train number n, axle 3's left bearing at its maximum when `alarm`.
// Returns the train as a current-format stream, with `siteAlarms` alarm
// entries (axle 3, bit 0) after its axle records.
std::vector<std::uint8_t> WriteTrain(const TempHome& home, int n, int axles, bool alarm, int siteAlarms = 0) {
    TrainRecord t{};
    std::uint8_t* h = t.header;
    h[1] = 0x01;  // hot-wheel records
    h[2] = 500 & 0xFF;
    h[3] = 500 >> 8;
    h[5] = static_cast<std::uint8_t>(n);
    h[6] = static_cast<std::uint8_t>(n >> 8);
    const std::uint8_t stamp[6] = {26, 3, static_cast<std::uint8_t>(1 + n / 24), static_cast<std::uint8_t>(n % 24), 10, 0};
    std::memcpy(h + 15, stamp, 6);
    std::memcpy(h + 21, stamp, 6);
    h[27] = 1;
    h[33] = static_cast<std::uint8_t>(axles);
    h[34] = static_cast<std::uint8_t>(axles >> 8);
    h[48] = 48;
    for (int i = 0; i < axles; ++i) {
        std::uint8_t* s = t.axleSlots[i].bytes;
        s[0] = static_cast<std::uint8_t>(30 + i % 7);
        s[1] = static_cast<std::uint8_t>(31 + i % 5);
        s[2] = 120;
        s[3] = 130;
        s[5] = i % 4 == 0 ? 0x80 : 0;
    }
    if (alarm) t.axleSlots[2].bytes[0] = 255;
    NullOutput log;
    [&] { QVERIFY(WriteTrainReport(home.Folder(), t.header, t.axleSlots, log)); }();
    std::vector<std::uint8_t> stream = {2, 112, 15, 0, static_cast<std::uint8_t>(axles), 0, 0,
                                        static_cast<std::uint8_t>(siteAlarms), 0, 0, 0, 0};
    stream.insert(stream.end(), t.header, t.header + TRAIN_HEADER_SIZE);
    for (int i = 0; i < axles; ++i) stream.insert(stream.end(), t.axleSlots[i].bytes, t.axleSlots[i].bytes + 7);
    for (int i = 0; i < siteAlarms; ++i) stream.insert(stream.end(), {3, 0, 1, 0});
    return stream;
}

}  // namespace

class HistoryViewsTest : public QObject {
    Q_OBJECT
private slots:
    void modelsShowTheHistory() {
        TempHome home;
        FakeRadio radio;
        std::unique_ptr<Collector> collector = radio.MakeCollector(home);
        for (int n = 1; n <= 300; ++n) WriteTrain(home, n, 8 + n % 40, n % 10 == 0);
        std::uint8_t powerup[17] = {0xD2, 0x04, 500 & 0xFF, 500 >> 8, 1, 1, 0, 'A', 'B', 'H', 'L', 'V', '0', '0', '0', '1', 0};
        CallerTable callers{};
        FillCallerEntry(callers[0], powerup, 12);
        collector->Callers().Replace(callers);

        ConsoleHistory history;
        history.Start(*collector);
        collector->Events().Flush();  // the catch-up
        EngineEvent error;
        error.kind = EventKind::FrameError;
        error.siteId = 12;
        collector->Publish(error);
        collector->Events().Flush();

        SitesView sites;
        sites.Refresh();
        QCOMPARE(sites.Model()->rowCount(), 1);
        const SiteRow& row = sites.Model()->Row(0);
        QCOMPARE(row.radioId, 12);
        QCOMPARE(row.siteNumber, 500);
        QCOMPARE(row.trainsToday, 300);  // indexed now: received today
        QCOMPARE(row.frameErrorsToday, 1);
        QVERIFY(!row.silent);
        QCOMPARE(sites.Model()->data(sites.Model()->index(0, SitesModel::Milepost), Qt::DisplayRole).toString(),
                 QStringLiteral("123.4"));

        TrainsView trains;
        TrainsModel* model = trains.Model();
        QCOMPARE(model->rowCount(), 300);
        QCOMPARE(model->data(model->index(0, TrainsModel::TrainNumber), Qt::DisplayRole).toInt(), 300);
        QCOMPARE(model->data(model->index(299, TrainsModel::TrainNumber), Qt::DisplayRole).toInt(), 1);
        QVERIFY2(model->PagesRead() <= 3, "only the pages looked at are read");

        TrainFilter alarms;
        alarms.alarmsOnly = true;
        model->SetFilter(alarms);
        QCOMPARE(model->rowCount(), 30);
        model->SetFilter({});
        model->sort(TrainsModel::Axles, Qt::AscendingOrder);
        QCOMPARE(model->data(model->index(0, TrainsModel::Axles), Qt::DisplayRole).toInt(), 8);
        QCOMPARE(model->data(model->index(299, TrainsModel::Axles), Qt::DisplayRole).toInt(), 47);

        // A new train shows at the top once indexed.
        WriteTrain(home, 301, 12, false);
        EngineEvent train;
        train.kind = EventKind::TrainReported;
        train.siteId = 12;
        train.reportPath = home.Folder() + REPORT_FOLDER + "/20260313_1310.GEM.HBD.00301.txt";
        collector->Publish(train);
        collector->Events().Flush();
        QTRY_COMPARE(model->rowCount(), 301);

        // The train of the top row: summary, axles, chart, exports.
        model->sort(TrainsModel::FirstTime, Qt::DescendingOrder);
        const TrainRow* top = model->Row(0);
        QVERIFY(top != nullptr);
        const qint64 alarmId = [&] {
            TrainFilter f;
            f.alarmsOnly = true;
            model->SetFilter(f);
            return model->Row(0)->id;
        }();
        TrainView view;
        QVERIFY(view.ShowTrain(alarmId));
        QVERIFY(!view.ShowTrain(999999));
        QVERIFY(view.ShowTrain(alarmId));
        QVERIFY(view.Summary().contains(QStringLiteral("HBD System Normal")));
        QCOMPARE(view.AxleTable()->rowCount(), 8 + 300 % 40);
        QCOMPARE(view.Chart()->chart()->series().size(), 5);  // four readings and the maxed marks
        QCOMPARE(view.Chart()->MarkedReadings(), 1);
        QVERIFY(view.ExportCsv(home.Path(QStringLiteral("axles.csv"))));
        QVERIFY(home.ReadFile(QStringLiteral("axles.csv")).startsWith("axle,car,car_start"));
        view.resize(800, 600);
        QVERIFY(view.ExportPng(home.Path(QStringLiteral("chart.png"))));
        QVERIFY(home.ReadFile(QStringLiteral("chart.png")).startsWith("\x89PNG"));

        // Double-clicking a site opens its trains.
        CMainFrame frame;
        SitesView* opened = frame.OpenSitesView();
        emit opened->OpenTrainsOfSite(500);
        TrainsView* shown = qobject_cast<TrainsView*>(frame.MdiArea()->activeSubWindow()->widget());
        QVERIFY(shown != nullptr);
        QCOMPARE(shown->Model()->Filter().siteNumber, 500);
        QCOMPARE(shown->Model()->rowCount(), 301);
        QVERIFY(frame.OpenTrainView(alarmId) != nullptr);
        QVERIFY(view.Summary().contains(QStringLiteral("Site alarms: not known")));  // no journal record

        // A train whose readings are all in range but whose site announced
        // an alarm in its journal record is an alarm train, and its summary
        // says on which axles.
        JournalTrain journaled;
        journaled.radioId = 12;
        journaled.stream = WriteTrain(home, 302, 12, false, 2);
        QVERIFY(collector->Journal().Append(journaled, *collector));
        train.reportPath = home.Folder() + REPORT_FOLDER + "/20260313_1410.GEM.HBD.00302.txt";
        train.journalFile = collector->Journal().LastAppended().file;
        train.journalOffset = collector->Journal().LastAppended().offset;
        collector->Publish(train);
        collector->Events().Flush();
        QTRY_COMPARE(model->rowCount(), 31);
        QVERIFY(model->data(model->index(0, TrainsModel::TrainNumber), Qt::BackgroundRole).isValid());
        QCOMPARE(model->Row(0)->trainNumber, 302);
        QVERIFY(view.ShowTrain(model->Row(0)->id));
        QVERIFY2(view.Summary().contains(QStringLiteral("Site alarms: 2 (axle 3: 0x0001; axle 3: 0x0001)")),
                 qPrintable(view.Summary()));
        history.Stop();
    }
};

QTEST_MAIN(HistoryViewsTest)
#include "HistoryViewsTest.moc"
