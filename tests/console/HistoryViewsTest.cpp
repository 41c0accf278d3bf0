// The Sites, Trains and Train views over a small history: what their models
// show, that the trains model reads only the pages shown, filters and
// sorting, trains coming in under a selection, the keys, and the train's
// chart and exports.
#include <QCheckBox>
#include <QDateEdit>
#include <QHeaderView>
#include <QLineEdit>
#include <QLineSeries>
#include <QPlainTextEdit>
#include <QDir>
#include <QStatusBar>
#include <QPushButton>
#include <QValueAxis>
#include <QScrollBar>
#include <QSortFilterProxyModel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTableView>
#include <QTableWidget>
#include <QtTest>
#include <chrono>
#include <filesystem>

#include "ConsoleTestSupport.h"
#include "console/AlarmSound.h"
#include "console/AlarmsView.h"
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
// track 1 (or those given), train number n, axle 3's left bearing at its
// maximum when `alarm`, left wheels at `wheel`. Returns the train as a
// current-format stream, with `siteAlarms` alarm entries (axle 3, bit 0)
// after its axle records.
std::vector<std::uint8_t> WriteTrain(const TempHome& home, int n, int axles, bool alarm, int siteAlarms = 0,
                                     int site = 500, int track = 1, int wheel = 120, int simCode = 48) {
    TrainRecord t{};
    std::uint8_t* h = t.header;
    h[1] = 0x01;  // hot-wheel records
    h[2] = static_cast<std::uint8_t>(site & 0xFF);
    h[3] = static_cast<std::uint8_t>(site >> 8);
    h[5] = static_cast<std::uint8_t>(n);
    h[6] = static_cast<std::uint8_t>(n >> 8);
    const std::uint8_t stamp[6] = {26, 3, static_cast<std::uint8_t>(1 + n / 24), static_cast<std::uint8_t>(n % 24), 10, 0};
    std::memcpy(h + 15, stamp, 6);
    std::memcpy(h + 21, stamp, 6);
    h[27] = static_cast<std::uint8_t>(track);
    h[33] = static_cast<std::uint8_t>(axles);
    h[34] = static_cast<std::uint8_t>(axles >> 8);
    h[48] = static_cast<std::uint8_t>(simCode);
    for (int i = 0; i < axles; ++i) {
        std::uint8_t* s = t.axleSlots[i].bytes;
        s[0] = static_cast<std::uint8_t>(30 + i % 7);
        s[1] = static_cast<std::uint8_t>(31 + i % 5);
        s[2] = static_cast<std::uint8_t>(wheel & 0xFF);
        s[3] = 130;
        s[5] = static_cast<std::uint8_t>((i % 4 == 0 ? 0x80 : 0) | ((wheel >> 8) & 0x03));
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

// Tells the collector's subscribers that train n's report (written by
// WriteTrain) came in on the line, as the worker does.
void ReportLive(Collector& collector, const TempHome& home, int n) {
    const QStringList files = QDir(home.Path(QString::fromLatin1(REPORT_FOLDER)))
                                  .entryList({QStringLiteral("*.%1.txt").arg(n, 5, 10, QLatin1Char('0'))});
    QCOMPARE(files.size(), 1);
    EngineEvent train;
    train.kind = EventKind::TrainReported;
    train.siteId = 12;
    train.reportPath = home.Folder() + REPORT_FOLDER + "/" + files.front().toStdString();
    collector.Publish(train);
    collector.Events().Flush();
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
        {
            // The day's counts are kept in the history: the board of a new
            // start, still empty, is joined with them.
            const SiteBoard restarted;
            const auto reader = history.OpenReader();
            const std::vector<SiteRow> rows = BuildSiteRows(callers, &restarted, reader.get(), std::time(nullptr));
            QCOMPARE(rows.at(0).frameErrorsToday, 1);
            QVERIFY(rows.at(0).lastHeard > 0);
        }
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

        // A new train is held back while the list is in another order, and
        // shows at the top of the newest first.
        WriteTrain(home, 301, 12, false);
        EngineEvent train;
        train.kind = EventKind::TrainReported;
        train.siteId = 12;
        train.reportPath = home.Folder() + REPORT_FOLDER + "/20260313_1310.GEM.HBD.00301.txt";
        collector->Publish(train);
        collector->Events().Flush();
        QTRY_COMPARE(model->NewTrainsHeld(), 1);
        QCOMPARE(model->rowCount(), 300);

        // The train of the top row: summary, axles, chart, exports.
        model->sort(TrainsModel::Received, Qt::DescendingOrder);
        QCOMPARE(model->rowCount(), 301);
        QCOMPARE(model->Row(0)->trainNumber, 301);
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
        QVERIFY(view.ExportName().startsWith(QStringLiteral("site-00500-train-")));
        // An export that fails says why.
        QString why;
        QVERIFY(!view.ExportPng(home.Path(QStringLiteral("gone/chart.png")), &why));
        QVERIFY(!why.isEmpty());
        why.clear();
        QVERIFY(!view.ExportCsv(home.Path(QStringLiteral("gone/axles.csv")), &why));
        QVERIFY(!why.isEmpty());
        // The wheel zooms the axles around the pointer; the readings keep
        // their scale, the maximum in sight.
        TrainChartView* chart = view.Chart();
        chart->resize(800, 400);
        const auto whole = chart->AxleRange();
        const double boxTop = chart->BoxAxis()->max();
        const QPointF at = chart->mapFromScene(chart->chart()->plotArea().center());
        QWheelEvent wheel(at, chart->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(chart->viewport(), &wheel);
        const auto zoomed = chart->AxleRange();
        QVERIFY(zoomed.second - zoomed.first < whole.second - whole.first);
        QCOMPARE(chart->BoxAxis()->max(), boxTop);
        QVERIFY(boxTop >= 255);
        QVERIFY(chart->AxleText(3).contains(QStringLiteral("A reading at its maximum")));
        // Without a desktop viewer the report opens in a window of our own.
        std::unique_ptr<QWidget> text(view.OpenReport());
        QVERIFY(text != nullptr);
        QVERIFY(qobject_cast<QPlainTextEdit*>(text.get())->toPlainText().startsWith(QStringLiteral("DEM ")));

        // Double-clicking a site opens its trains.
        CMainFrame frame;
        SitesView* opened = frame.OpenSitesView();
        emit opened->OpenTrainsOfSite(500);
        TrainsView* shown = qobject_cast<TrainsView*>(frame.MdiArea()->activeSubWindow()->widget());
        QVERIFY(shown != nullptr);
        QCOMPARE(shown->Model()->Filter().siteNumbers, std::vector<int>{500});
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

    void trainsViewSortsFiltersAndKeepsTheSelection() {
        TempHome home;
        FakeRadio radio;
        std::unique_ptr<Collector> collector = radio.MakeCollector(home);
        // Three sites of two tracks; readings in no order of time, a few
        // wheels at their maximum.
        for (int n = 1; n <= 40; ++n)
            WriteTrain(home, n, 8 + (n * 7) % 13, n % 9 == 0, 0, 500 + 100 * (n % 3), 1 + n % 2,
                       n % 11 == 0 ? 1023 : (n * 37) % 200);
        CallerTable callers{};
        const std::uint8_t radios[3] = {12, 3, 7};
        for (int i = 0; i < 3; ++i) {
            const int site = 500 + 100 * i;
            std::uint8_t powerup[17] = {0xD2, 0x04, static_cast<std::uint8_t>(site & 0xFF), static_cast<std::uint8_t>(site >> 8),
                                        1, 1, 0, 'A', 'B', 'H', 'L', 'V', '0', '0', '0', static_cast<std::uint8_t>('1' + i), 0};
            FillCallerEntry(callers[static_cast<std::size_t>(i)], powerup, radios[i]);
        }
        collector->Callers().Replace(callers);
        // Received two days ago.
        for (const auto& report : std::filesystem::directory_iterator(home.Folder() + REPORT_FOLDER))
            std::filesystem::last_write_time(report.path(),
                                             std::filesystem::file_time_type::clock::now() - std::chrono::hours(48));
        ConsoleHistory history;
        history.Start(*collector);
        collector->Events().Flush();

        TrainsView view;
        TrainsModel* model = view.Model();
        QTableView* table = view.Table();
        QHeaderView* header = table->horizontalHeader();
        QCOMPARE(model->rowCount(), 40);
        QCOMPARE(header->sortIndicatorSection(), int(TrainsModel::Received));

        // Every column sorts by its own value, both ways, and the arrow is on it.
        for (int column = 0; column < TrainsModel::ColumnCount; ++column) {
            for (Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
                table->sortByColumn(column, order);
                QCOMPARE(header->sortIndicatorSection(), column);
                for (int row = 1; row < model->rowCount(); ++row) {
                    const QPartialOrdering o = QVariant::compare(model->index(row - 1, column).data(TrainsModel::SortRole),
                                                                 model->index(row, column).data(TrainsModel::SortRole));
                    QVERIFY2(o != (order == Qt::AscendingOrder ? QPartialOrdering::Greater : QPartialOrdering::Less),
                             qPrintable(QStringLiteral("column %1, rows %2 and %3").arg(column).arg(row - 1).arg(row)));
                }
            }
        }

        // The site filter takes a site number, a radio id or a part of a
        // name, and says why nothing is listed.
        auto* site = view.findChild<QLineEdit*>(QStringLiteral("siteFilter"));
        const struct {
            const char* text;
            int trains;
            const char* message;
        } filters[] = {
            {"00600", 7, ""}, {"3", 7, ""}, {"hlv0002", 7, ""}, {"HLV", 20, ""},
            {"abc", 0, "No site matches \"abc\""}, {"99", 0, "No site matches \"99\""}, {"", 40, ""},
        };
        for (const auto& f : filters) {
            site->setText(QString::fromLatin1(f.text));
            emit site->editingFinished();
            QCOMPARE(model->rowCount(), f.trains);
            QCOMPARE(view.Message(), QString::fromLatin1(f.message));
        }
        view.findChild<QDateEdit*>(QStringLiteral("fromDate"))->setDate(QDate(2026, 3, 2));
        view.findChild<QDateEdit*>(QStringLiteral("toDate"))->setDate(QDate(2026, 3, 1));
        view.findChild<QCheckBox*>(QStringLiteral("useFrom"))->setChecked(true);
        view.findChild<QCheckBox*>(QStringLiteral("useTo"))->setChecked(true);
        QCOMPARE(view.Message(), QStringLiteral("From is after To"));
        QCOMPARE(model->rowCount(), 0);
        view.findChild<QCheckBox*>(QStringLiteral("useTo"))->setChecked(false);
        QCOMPARE(view.Message(), QString());
        QCOMPARE(model->rowCount(), 17);  // trains 24 to 40: March 2
        table->sortByColumn(TrainsModel::Axles, Qt::AscendingOrder);
        {
            // A Trains view opened again (or at the next start) has them still.
            TrainsView again;
            QCOMPARE(again.Model()->rowCount(), 17);
            QCOMPARE(again.Table()->horizontalHeader()->sortIndicatorSection(), int(TrainsModel::Axles));
            for (int row = 0; row < 17; ++row) QCOMPARE(again.Model()->Row(row)->id, model->Row(row)->id);
        }

        // A small window (640 x 420) holds the view; the Train view scrolls.
        QVERIFY(view.minimumSizeHint().width() <= 620 && view.minimumSizeHint().height() <= 400);
        TrainView small;
        QVERIFY(small.minimumSizeHint().width() <= 620 && small.minimumSizeHint().height() <= 400);

        // A train coming in keeps the selected train selected and the rows
        // in view where they are; the bar above the table leads to it.
        view.findChild<QCheckBox*>(QStringLiteral("useFrom"))->setChecked(false);
        table->sortByColumn(TrainsModel::Received, Qt::DescendingOrder);
        view.resize(900, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        table->scrollTo(model->index(20, 0), QAbstractItemView::PositionAtTop);
        table->selectRow(22);
        const qint64 selected = model->Row(22)->id;
        const int top = table->verticalScrollBar()->value();
        QVERIFY(top > 0);
        WriteTrain(home, 41, 12, false);
        EngineEvent train;
        train.kind = EventKind::TrainReported;
        train.siteId = 12;
        train.reportPath = home.Folder() + REPORT_FOLDER + "/20260302_1710.GEM.HBD.00041.txt";
        collector->Publish(train);
        collector->Events().Flush();
        QTRY_COMPARE(model->rowCount(), 41);
        const QModelIndexList now = table->selectionModel()->selectedRows();
        QCOMPARE(now.size(), 1);
        QCOMPARE(model->Row(now.first().row())->id, selected);
        QCOMPARE(table->verticalScrollBar()->value(), top + 1);
        QVERIFY(view.NewTrainsBar()->isVisible());
        QCOMPARE(view.NewTrainsBar()->text(), QStringLiteral("1 new train - show"));
        QTest::mouseClick(view.NewTrainsBar(), Qt::LeftButton);
        QCOMPARE(table->verticalScrollBar()->value(), 0);
        QVERIFY(!view.NewTrainsBar()->isVisible());
        QCOMPARE(model->Row(0)->trainNumber, 41);

        // Keys: Enter opens the train, the table is one Tab from the site
        // field; in the Sites view, sorted by radio, Enter opens that site's trains.
        QSignalSpy opened(&view, &TrainsView::OpenTrain);
        table->setCurrentIndex(model->index(0, 0));
        QTest::keyClick(table, Qt::Key_Return);
        QCOMPARE(opened.size(), 1);
        QCOMPARE(opened.first().first().toLongLong(), model->Row(0)->id);
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        site->setFocus();
        QTest::keyClick(site, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(table));
        SitesView sites;
        QSignalSpy siteOpened(&sites, &SitesView::OpenTrainsOfSite);
        sites.Table()->sortByColumn(SitesModel::Radio, Qt::DescendingOrder);
        sites.Table()->setCurrentIndex(sites.Sorted()->index(0, 0));
        QTest::keyClick(sites.Table(), Qt::Key_Enter);
        QCOMPARE(siteOpened.size(), 1);
        QCOMPARE(siteOpened.first().first().toInt(), 500);  // radio 12

        // Radio 3 now serves site 800: what it is heard saying no longer
        // keeps site 600 from turning silent.
        std::uint8_t moved[17] = {0xD2, 0x04, 800 & 0xFF, 800 >> 8, 1, 1, 0, 'A', 'B', 'H', 'L', 'V', '0', '0', '0', '8', 0};
        FillCallerEntry(callers[1], moved, 3);
        collector->Callers().Replace(callers);
        EngineEvent powerup;
        powerup.kind = EventKind::PowerupRegistered;
        powerup.siteId = 3;
        collector->Publish(powerup);
        collector->Events().Flush();
        sites.Refresh();
        for (int row = 0; row < sites.Model()->rowCount(); ++row) {
            const SiteRow& r = sites.Model()->Row(row);
            if (r.siteNumber == 600 || r.siteNumber == 800) QCOMPARE(r.silent, r.siteNumber == 600);
        }

        // Ctrl+W and Ctrl+F4 close the active view.
        CMainFrame frame;
        frame.show();
        QVERIFY(QTest::qWaitForWindowActive(&frame));
        frame.OpenSitesView();
        frame.OpenTrainsView();
        QCOMPARE(frame.MdiArea()->subWindowList().size(), 2);
        QCOMPARE(frame.OpenHistoryViews(), QStringList({QStringLiteral("sites"), QStringLiteral("trains")}));
        QTest::keyClick(&frame, Qt::Key_W, Qt::ControlModifier);
        QTRY_COMPARE(frame.MdiArea()->subWindowList().size(), 1);
        QTest::keyClick(&frame, Qt::Key_F4, Qt::ControlModifier);
        QTRY_COMPARE(frame.MdiArea()->subWindowList().size(), 0);
        history.Stop();
    }

    // A train with alarms comes in live: banner, title, sound, the Sites
    // view's health; the Alarms view acknowledges them in the operator's
    // name and opens a train at its alarm's axle.
    void alarmsReachTheOperatorAndAreAcknowledged() {
        TempHome home;
        FakeRadio radio;
        std::unique_ptr<Collector> collector = radio.MakeCollector(home);
        WriteTrain(home, 1, 8, false);
        ConsoleHistory history;
        history.Start(*collector);
        collector->Events().Flush();
        CMainFrame frame;
        frame.CreateDocumentWindow(QString());
        QVERIFY(frame.AlarmBanner()->isHidden());
        QVERIFY(!frame.windowTitle().contains(QStringLiteral("alarm")));

        WriteTrain(home, 2, 8, true);  // axle 3 left at 255
        ReportLive(*collector, home, 2);
        const qint64 open = history.UnacknowledgedAlarms();
        QVERIFY(open >= 1);  // the hot bearing
        QTRY_VERIFY(!frame.AlarmBanner()->isHidden());
        const QString plural = open == 1 ? QString() : QStringLiteral("s");
        QCOMPARE(frame.AlarmBanner()->text(), QStringLiteral("%1 unacknowledged alarm%2").arg(open).arg(plural));
        QVERIFY2(frame.windowTitle().endsWith(QStringLiteral("Kestova - %1 alarm%2").arg(open).arg(plural)),
                 qPrintable(frame.windowTitle()));
        QVERIFY(frame.Sound()->Repeating());
        QVERIFY(frame.Sound()->Rings() >= 1);
        frame.Sound()->Mute(15);
        QVERIFY(frame.AlarmBanner()->text().contains(QStringLiteral(" - muted until ")));
        frame.Sound()->Mute(0);
        if (frame.Sound()->UsesBell()) {
            // No audio device here: the bell, and one line in the main pane
            // however often it rings.
            QTest::qWait(1100);
            frame.Sound()->Ring();
            auto* pane = frame.findChild<CRichEditScopeView*>(QStringLiteral("1008"));
            QVERIFY(pane != nullptr);
            QCOMPARE(consoletest::PaneText(pane).count(QStringLiteral("alarms sound as the system bell")), 1);
        }

        SitesView* sites = frame.OpenSitesView();
        QCOMPARE(sites->Model()->HealthText(0), QStringLiteral("alarm today"));
        QCOMPARE(sites->Model()->data(sites->Model()->index(0, SitesModel::AlarmsToday), Qt::DisplayRole).toLongLong(),
                 open);

        AlarmsView* view = frame.OpenAlarmsView();
        AlarmsModel* model = view->Model();
        QCOMPARE(model->rowCount(), open);
        QVERIFY(model->headerData(AlarmsModel::Reading, Qt::Horizontal, Qt::DisplayRole)
                    .toString().contains(QStringLiteral("0-255 hot box, 0-1023 hot wheel")));
        QCOMPARE(model->data(model->index(0, AlarmsModel::Axle), Qt::DisplayRole).toInt(), 3);
        QCOMPARE(model->data(model->index(0, AlarmsModel::Acknowledged), Qt::DisplayRole).toString(),
                 QStringLiteral("open"));

        // Enter opens the train at the axle.
        view->Table()->setCurrentIndex(model->index(0, 0));
        QTest::keyClick(view->Table(), Qt::Key_Return);
        auto* train = qobject_cast<TrainView*>(frame.MdiArea()->activeSubWindow()->widget());
        QVERIFY(train != nullptr);
        QCOMPARE(train->AxleTable()->currentRow(), 2);
        QCOMPARE(train->Chart()->MarkedAxle(), 3);

        // Acknowledged through the dialog: who and when are stored, the
        // name is remembered, the banner and the sound stop.
        frame.OpenAlarmsView();
        view->Table()->selectAll();
        QTimer::singleShot(0, [] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* dialog = qobject_cast<AcknowledgeDialog*>(w)) {
                    dialog->findChild<QLineEdit*>(QStringLiteral("operatorName"))->setText(QStringLiteral("Ann Lind"));
                    dialog->findChild<QLineEdit*>(QStringLiteral("ackComment"))->setText(QStringLiteral("car set out"));
                    dialog->accept();
                }
        });
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        view->AcknowledgeSelection();
        QCOMPARE(history.UnacknowledgedAlarms(), 0);
        const std::optional<AlarmRow> done = history.OpenReader()->AlarmById(model->Row(0)->id);
        QVERIFY(done && done->acknowledged);
        QCOMPARE(done->ackBy, std::string("Ann Lind"));
        QCOMPARE(done->ackComment, std::string("car set out"));
        QVERIFY(done->ackEpoch >= before && done->ackEpoch <= QDateTime::currentSecsSinceEpoch());
        QVERIFY(model->data(model->index(0, AlarmsModel::Acknowledged), Qt::DisplayRole)
                    .toString().startsWith(QStringLiteral("Ann Lind, ")));
        QCOMPARE(AcknowledgeDialog(1).Operator(), QStringLiteral("Ann Lind"));
        QTRY_VERIFY(frame.AlarmBanner()->isHidden());
        QVERIFY(!frame.windowTitle().contains(QStringLiteral("alarm")));
        QVERIFY(!frame.Sound()->Repeating());

        // An alarm acknowledged by another program (the office's page,
        // through the uplink) shows so here within a few seconds.
        const int shown = model->rowCount();
        WriteTrain(home, 3, 8, true);
        ReportLive(*collector, home, 3);
        QTRY_VERIFY(!frame.AlarmBanner()->isHidden());
        QTRY_VERIFY(model->rowCount() > shown);
        QTest::qWait(500);
        {
            std::string why;
            auto other = TrainHistory::OpenForUpdate(HistoryPath(home.Path().toStdString() + "/"), nullptr, &why);
            QVERIFY2(other != nullptr, why.c_str());
            AlarmFilter open;
            open.unacknowledgedOnly = true;
            for (const AlarmRow& a : other->ListAlarms(open, 0, 100))
                QVERIFY2(other->AcknowledgeAlarm(a.id, "Desk", "from the office", &why, "office"), why.c_str());
        }
        QTRY_VERIFY_WITH_TIMEOUT(frame.AlarmBanner()->isHidden(), 8000);
        const auto allDone = [model]() {
            for (int r = 0; r < model->rowCount(); ++r)
                if (model->data(model->index(r, AlarmsModel::Acknowledged), Qt::DisplayRole).toString() ==
                    QStringLiteral("open"))
                    return false;
            return true;
        };
        QTRY_VERIFY_WITH_TIMEOUT(allDone(), 8000);
        history.Stop();
    }

    // An equipment fault in a site's newest train, and readings shown with
    // the unit and factor of [Alarms].
    void siteHealthAndReadingsAsConfigured() {
        TempHome home;
        home.WriteFile(QStringLiteral("K7_Dialups.ini"), "[Alarms]\nUnit=C\nFactor=0.5\n");
        FakeRadio radio;
        std::unique_ptr<Collector> collector = radio.MakeCollector(home);
        WriteTrain(home, 1, 8, true, 0, 500, 1, 120, 27);  // Low Voltage
        ConsoleHistory history;
        history.Start(*collector);
        collector->Events().Flush();

        SitesView sites;
        QCOMPARE(sites.Model()->HealthText(0), QStringLiteral("equipment fault"));
        QVERIFY(sites.Model()->data(sites.Model()->index(0, SitesModel::Health), Qt::ToolTipRole)
                    .toString().contains(QStringLiteral("Low Voltage")));
        AlarmsView alarms;
        AlarmsModel* model = alarms.Model();
        QVERIFY(model->headerData(AlarmsModel::Reading, Qt::Horizontal, Qt::DisplayRole)
                    .toString().endsWith(QStringLiteral("; shown x 0.5 in C)")));
        QStringList kinds, readings;
        for (int row = 0; row < model->rowCount(); ++row) {
            kinds << model->data(model->index(row, AlarmsModel::Kind), Qt::DisplayRole).toString();
            readings << model->data(model->index(row, AlarmsModel::Reading), Qt::DisplayRole).toString();
        }
        QVERIFY2(kinds.contains(QStringLiteral("equipment: Low Voltage")), qPrintable(kinds.join(',')));
        QVERIFY2(readings.contains(QStringLiteral("127.5 C / 60 C")), qPrintable(readings.join(',')));
        history.Stop();
    }
};

QTEST_MAIN(HistoryViewsTest)
#include "HistoryViewsTest.moc"
