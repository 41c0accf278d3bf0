#include "console/TrainView.h"

#include <QChart>
#include <QDesktopServices>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineSeries>
#include <QMouseEvent>
#include <QPushButton>
#include <QSaveFile>
#include <QScatterSeries>
#include <QSplitter>
#include <QTableWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <QValueAxis>
#include <QWheelEvent>
#include <algorithm>

#include "console/ConsoleHistory.h"
#include "console/HistoryViewText.h"
#include "records/HistoryText.h"
#include "records/TrainReport.h"

using historyview::Messages;
using historyview::Milepost;
using historyview::Text;

TrainChartView::TrainChartView(QWidget* parent) : QChartView(new QChart, parent) {
    setObjectName(QStringLiteral("trainChart"));
    setRenderHint(QPainter::Antialiasing, false);
    setRubberBand(QChartView::HorizontalRubberBand);
    chart()->legend()->setAlignment(Qt::AlignBottom);
    chart()->setMargins(QMargins(4, 4, 4, 4));
    chart()->setBackgroundVisible(false);  // the car bands are drawn behind it
}

void TrainChartView::SetTrain(const std::vector<ReportAxle>& axles) {
    QChart* c = chart();
    c->removeAllSeries();
    for (QAbstractAxis* axis : c->axes()) {
        c->removeAxis(axis);
        delete axis;
    }
    cars_.clear();
    marked_ = 0;

    struct Line {
        const char* name;
        QColor colour;
        bool wheel;
    };
    const Line lines[4] = {{"Hot box left", QColor(200, 30, 30), false},
                           {"Hot box right", QColor(30, 60, 200), false},
                           {"Hot wheel left", QColor(230, 140, 20), true},
                           {"Hot wheel right", QColor(20, 150, 120), true}};
    QList<QPointF> points[4];
    QList<QPointF> maxed;
    bool wheels = false;
    int maxBox = 0, maxWheel = 0;
    for (const ReportAxle& a : axles) {
        const qreal x = a.axle;
        const int values[4] = {a.hotBoxLeft, a.hotBoxRight, a.hotWheelLeft, a.hotWheelRight};
        for (int k = 0; k < 4; ++k) {
            if (values[k] < 0) continue;
            points[k].append(QPointF(x, values[k]));
            if (k < 2) {
                maxBox = std::max(maxBox, values[k]);
                if (values[k] == HOT_BOX_MAXED) maxed.append(QPointF(x, values[k]));
            } else {
                wheels = true;
                maxWheel = std::max(maxWheel, values[k]);
            }
        }
        if (a.carStart || cars_.empty()) cars_.push_back({a.axle, a.axle});
        cars_.back().second = a.axle;
    }

    auto* xAxis = new QValueAxis;
    xAxis->setTitleText(QStringLiteral("Axle"));
    xAxis->setLabelFormat(QStringLiteral("%d"));
    xAxis->setRange(0.5, std::max<qreal>(1.5, static_cast<qreal>(axles.size()) + 0.5));
    auto* boxAxis = new QValueAxis;
    boxAxis->setTitleText(QStringLiteral("Hot box"));
    boxAxis->setRange(0, std::max(260, maxBox + 10));
    boxAxis->setLabelFormat(QStringLiteral("%d"));
    c->addAxis(xAxis, Qt::AlignBottom);
    c->addAxis(boxAxis, Qt::AlignLeft);
    QValueAxis* wheelAxis = nullptr;
    if (wheels) {
        wheelAxis = new QValueAxis;
        wheelAxis->setTitleText(QStringLiteral("Hot wheel"));
        wheelAxis->setRange(0, std::max(1050, maxWheel + 20));
        wheelAxis->setLabelFormat(QStringLiteral("%d"));
        c->addAxis(wheelAxis, Qt::AlignRight);
    }
    for (int k = 0; k < 4; ++k) {
        if (lines[k].wheel && !wheels) continue;
        auto* series = new QLineSeries;
        series->setName(QString::fromLatin1(lines[k].name));
        series->setPen(QPen(lines[k].colour, 1.2));
        series->replace(points[k]);
        c->addSeries(series);
        series->attachAxis(xAxis);
        series->attachAxis(lines[k].wheel ? wheelAxis : boxAxis);
        for (const QPointF& p : points[k])
            if (lines[k].wheel && p.y() == HOT_WHEEL_MAXED) maxed.append(p);
    }
    if (!maxed.isEmpty()) {
        auto* marks = new QScatterSeries;
        marks->setName(QStringLiteral("At maximum"));
        marks->setMarkerShape(QScatterSeries::MarkerShapeRectangle);
        marks->setMarkerSize(9);
        marks->setColor(Qt::black);
        marks->setBorderColor(Qt::yellow);
        marks->replace(maxed);
        c->addSeries(marks);
        marks->attachAxis(xAxis);
        marks->attachAxis(boxAxis);
        marked_ = static_cast<int>(maxed.size());
        // Wheel readings at their maximum sit on the wheel scale: show them
        // at the top of the box scale, where they stand out.
        QList<QPointF> scaled;
        for (QPointF p : maxed) {
            if (p.y() == HOT_WHEEL_MAXED) p.setY(boxAxis->max() - 5);
            scaled.append(p);
        }
        marks->replace(scaled);
    }
    viewport()->update();
}

void TrainChartView::ResetZoom() { chart()->zoomReset(); }

void TrainChartView::drawBackground(QPainter* painter, const QRectF& rect) {
    painter->fillRect(rect, Qt::white);
    const QRectF plot = chart()->plotArea();
    const auto series = chart()->series();
    if (series.isEmpty() || cars_.empty()) return;
    QAbstractSeries* s = series.first();
    // Every second car in a light band, so the cars can be told apart.
    for (std::size_t i = 0; i < cars_.size(); i += 2) {
        const QPointF left = chart()->mapToPosition(QPointF(cars_[i].first - 0.5, 0), s);
        const QPointF right = chart()->mapToPosition(QPointF(cars_[i].second + 0.5, 0), s);
        QRectF band(QPointF(std::max(left.x(), plot.left()), plot.top()),
                    QPointF(std::min(right.x(), plot.right()), plot.bottom()));
        if (band.width() > 0) painter->fillRect(mapFromScene(band).boundingRect(), QColor(232, 238, 248));
    }
}

void TrainChartView::wheelEvent(QWheelEvent* event) {
    chart()->zoom(event->angleDelta().y() > 0 ? 1.25 : 0.8);
    event->accept();
}

void TrainChartView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        panning_ = true;
        lastPan_ = event->pos();
        event->accept();
        return;
    }
    QChartView::mousePressEvent(event);
}

void TrainChartView::mouseMoveEvent(QMouseEvent* event) {
    if (panning_) {
        const QPoint delta = event->pos() - lastPan_;
        lastPan_ = event->pos();
        chart()->scroll(-delta.x(), 0);
        event->accept();
        return;
    }
    QChartView::mouseMoveEvent(event);
}

void TrainChartView::mouseReleaseEvent(QMouseEvent* event) {
    if (panning_ && event->button() == Qt::RightButton) {
        panning_ = false;
        event->accept();
        return;
    }
    QChartView::mouseReleaseEvent(event);
}

TrainView::TrainView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("trainView"));
    summary_ = new QLabel(this);
    summary_->setObjectName(QStringLiteral("trainSummary"));
    summary_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    summary_->setWordWrap(true);
    chart_ = new TrainChartView(this);
    axleTable_ = new QTableWidget(this);
    axleTable_->setObjectName(QStringLiteral("axleTable"));
    axleTable_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    axleTable_->verticalHeader()->hide();

    auto* png = new QPushButton(QStringLiteral("Export chart (PNG)..."), this);
    auto* csv = new QPushButton(QStringLiteral("Export axles (CSV)..."), this);
    auto* report = new QPushButton(QStringLiteral("Open report file"), this);
    auto* reset = new QPushButton(QStringLiteral("Reset zoom"), this);
    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {reset, png, csv, report}) buttons->addWidget(b);
    buttons->addStretch(1);

    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(chart_);
    split->addWidget(axleTable_);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);
    chart_->setMinimumHeight(280);
    split->setSizes({560, 240});
    axleTable_->verticalHeader()->setDefaultSectionSize(axleTable_->fontMetrics().height() + 6);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(summary_);
    layout->addLayout(buttons);
    layout->addWidget(split, 1);

    connect(reset, &QPushButton::clicked, chart_, &TrainChartView::ResetZoom);
    connect(png, &QPushButton::clicked, this, [this]() {
        const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export chart"),
                                                          QStringLiteral("train-%1.png").arg(train_.id),
                                                          QStringLiteral("PNG images (*.png)"));
        if (!path.isEmpty()) ExportPng(path);
    });
    connect(csv, &QPushButton::clicked, this, [this]() {
        const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export axles"),
                                                          QStringLiteral("train-%1-axles.csv").arg(train_.id),
                                                          QStringLiteral("CSV files (*.csv)"));
        if (!path.isEmpty()) ExportCsv(path);
    });
    connect(report, &QPushButton::clicked, this,
            [this]() { QDesktopServices::openUrl(QUrl::fromLocalFile(ReportPath())); });
}

QString TrainView::ReportPath() const {
    ConsoleHistory* h = ConsoleHistory::Instance();
    const std::string folder = h != nullptr ? h->DataFolder() : std::string();
    return Text(folder + REPORT_FOLDER + "/" + train_.file);
}

QString TrainView::Summary() const { return summary_->text(); }

bool TrainView::ShowTrain(qint64 id) {
    ConsoleHistory* h = ConsoleHistory::Instance();
    std::unique_ptr<TrainHistory> history = h != nullptr ? h->OpenReader() : nullptr;
    if (!history) return false;
    const auto found = history->Train(id);
    if (!found) return false;
    train_ = *found;
    axles_ = history->Axles(id);
    const std::vector<SiteAlarmEntry> siteAlarms = history->SiteAlarms(id);
    setWindowTitle(QStringLiteral("Train %1").arg(train_.trainNumber));

    QString site = QStringLiteral("site %1").arg(train_.siteNumber, 5, 10, QLatin1Char('0'));
    if (!train_.siteName.empty())
        site += QStringLiteral(" (%1 %2, radio %3, milepost %4)")
                    .arg(Text(train_.unitType), Text(train_.siteName))
                    .arg(train_.siteId)
                    .arg(Milepost(train_.milepost));
    summary_->setText(
        QStringLiteral("<b>Train %1</b> at %2, track %3<br>%4 to %5, received %6<br>"
                       "%7 axles, %8 cars; hot box max %9 / %10, readings at maximum %11<br>"
                       "System messages: %12<br>Site alarms: %13")
            .arg(train_.trainNumber)
            .arg(site.toHtmlEscaped())
            .arg(train_.track)
            .arg(Text(train_.firstTime), Text(train_.secondTime), Text(train_.received))
            .arg(train_.axles)
            .arg(train_.cars)
            .arg(train_.hotBoxMax[0])
            .arg(train_.hotBoxMax[1])
            .arg(train_.maxed[0] + train_.maxed[1])
            .arg(train_.simCodes.empty() ? QStringLiteral("none") : Messages(train_.simCodes).toHtmlEscaped())
            .arg(Text(SiteAlarmText(train_, siteAlarms)).toHtmlEscaped()));

    const QStringList headers = {"Axle", "Car", "Car start", "Hot box L", "Hot box R", "Hot wheel L",
                                 "Hot wheel R", "Load"};
    axleTable_->clear();
    axleTable_->setColumnCount(static_cast<int>(headers.size()));
    axleTable_->setHorizontalHeaderLabels(headers);
    axleTable_->setRowCount(static_cast<int>(axles_.size()));
    int row = 0;
    for (const ReportAxle& a : axles_) {
        const QString cells[8] = {QString::number(a.axle), QString::number(a.car),
                                  a.carStart ? QStringLiteral("*") : QString(),
                                  QString::number(a.hotBoxLeft), QString::number(a.hotBoxRight),
                                  a.hotWheelLeft < 0 ? QString() : QString::number(a.hotWheelLeft),
                                  a.hotWheelRight < 0 ? QString() : QString::number(a.hotWheelRight),
                                  QString::number(a.load)};
        for (int c = 0; c < 8; ++c) {
            auto* item = new QTableWidgetItem(cells[c]);
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            if ((c == 3 && a.hotBoxLeft == HOT_BOX_MAXED) || (c == 4 && a.hotBoxRight == HOT_BOX_MAXED) ||
                (c == 5 && a.hotWheelLeft == HOT_WHEEL_MAXED) || (c == 6 && a.hotWheelRight == HOT_WHEEL_MAXED))
                item->setBackground(QColor(255, 200, 200));
            axleTable_->setItem(row, c, item);
        }
        ++row;
    }
    axleTable_->resizeColumnsToContents();
    chart_->SetTrain(axles_);
    return true;
}

bool TrainView::ExportPng(const QString& path) { return chart_->grab().save(path, "PNG"); }

bool TrainView::ExportCsv(const QString& path) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    const std::string csv = FormatAxleCsv(axles_);
    file.write(csv.data(), static_cast<qint64>(csv.size()));
    return file.commit();
}
