#include "console/TrainView.h"

#include <QCategoryAxis>
#include <QChart>
#include <QImageWriter>
#include <QLegendMarker>
#include <QMessageBox>
#include <QPainter>
#include <QScrollArea>
#include <QToolTip>
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
#include <QVBoxLayout>
#include <QValueAxis>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "console/ConsoleCommands.h"
#include "console/ConsoleHistory.h"
#include "console/HistoryViewText.h"
#include "records/HistoryText.h"
#include "records/TrainReport.h"

using historyview::Messages;
using historyview::Milepost;
using historyview::Text;

namespace {

// Each plot's share of the plot area's height; the rest is the strip
// between them that names the cars.
constexpr double kPlotShare = 0.44;
constexpr int kBoxTop = 275;     // hot box readings end at 255: the scale keeps room above
constexpr int kWheelTop = 1100;  // hot wheel readings end at 1023

// A step of 1, 2 or 5 times a power of ten that cuts `span` into about `parts`.
double NiceStep(double span, int parts) {
    const double raw = std::max(span / parts, 1e-9);
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double norm = raw / magnitude;
    return (norm <= 1 ? 1 : norm <= 2 ? 2 : norm <= 5 ? 5 : 10) * magnitude;
}

// A scale whose readings [0, top] take the plot share at the top
// (`above`) or at the bottom of the plot area (or all of it, `alone`),
// labelled at nice values only.
QCategoryAxis* ReadingScale(const QString& title, int top, bool above, bool alone = false) {
    auto* axis = new QCategoryAxis;
    axis->setTitleText(title);
    axis->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    const double whole = alone ? top : top / kPlotShare;
    axis->setRange(above ? top - whole : 0, above ? top : whole);
    axis->setStartValue(above ? top - whole : 0);
    const double step = NiceStep(top, 6);
    for (double v = 0; v <= top; v += step) axis->append(QString::number(v), v);
    return axis;
}

}  // namespace

TrainChartView::TrainChartView(QWidget* parent) : QChartView(new QChart, parent) {
    setObjectName(QStringLiteral("trainChart"));
    setRenderHint(QPainter::Antialiasing, false);
    setRubberBand(QChartView::HorizontalRubberBand);
    setMouseTracking(true);
    chart()->legend()->setAlignment(Qt::AlignBottom);
    chart()->legend()->setMarkerShape(QLegend::MarkerShapeFromSeries);
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
    axles_ = axles;
    cars_.clear();
    marked_ = 0;
    markedAxle_ = 0;

    struct Line {
        const char* name;
        QColor colour;
        Qt::PenStyle style;
        bool wheel;
    };
    const Line lines[4] = {{"Hot box left", QColor(200, 30, 30), Qt::SolidLine, false},
                           {"Hot box right", QColor(30, 60, 200), Qt::DashLine, false},
                           {"Hot wheel left", QColor(230, 140, 20), Qt::SolidLine, true},
                           {"Hot wheel right", QColor(20, 150, 120), Qt::DashLine, true}};
    QList<QPointF> points[4];
    QList<QPointF> maxedBox, maxedWheel;
    bool wheels = false;
    for (const ReportAxle& a : axles) {
        const qreal x = a.axle;
        const int values[4] = {a.hotBoxLeft, a.hotBoxRight, a.hotWheelLeft, a.hotWheelRight};
        for (int k = 0; k < 4; ++k) {
            if (values[k] < 0) continue;
            points[k].append(QPointF(x, values[k]));
            if (k < 2 && values[k] == HOT_BOX_MAXED) maxedBox.append(QPointF(x, values[k]));
            if (k >= 2) {
                wheels = true;
                if (values[k] == HOT_WHEEL_MAXED) maxedWheel.append(QPointF(x, values[k]));
            }
        }
        if (a.carStart || cars_.empty()) cars_.push_back({a.axle, a.axle});
        cars_.back().second = a.axle;
    }

    xAxis_ = new QValueAxis;
    xAxis_->setTitleText(QStringLiteral("Axle"));
    xAxis_->setLabelFormat(QStringLiteral("%d"));
    xAxis_->setTickType(QValueAxis::TicksDynamic);
    xAxis_->setTickAnchor(0);
    c->addAxis(xAxis_, Qt::AlignBottom);
    boxAxis_ = ReadingScale(QStringLiteral("Hot box"), kBoxTop, true, !wheels);
    c->addAxis(boxAxis_, Qt::AlignLeft);
    wheelAxis_ = nullptr;
    if (wheels) {
        wheelAxis_ = ReadingScale(QStringLiteral("Hot wheel"), kWheelTop, false);
        c->addAxis(wheelAxis_, Qt::AlignRight);
    }
    for (int k = 0; k < 4; ++k) {
        if (lines[k].wheel && !wheels) continue;
        auto* series = new QLineSeries;
        series->setName(QString::fromLatin1(lines[k].name));
        QPen pen(lines[k].colour, 1.4);
        pen.setStyle(lines[k].style);
        series->setPen(pen);
        series->replace(points[k]);
        c->addSeries(series);
        series->attachAxis(xAxis_);
        series->attachAxis(lines[k].wheel ? wheelAxis_ : boxAxis_);
    }
    bool named = false;
    for (auto [marks, axis] : {std::pair{&maxedBox, boxAxis_}, std::pair{&maxedWheel, wheelAxis_}}) {
        if (marks->isEmpty()) continue;
        auto* series = new QScatterSeries;
        series->setName(QStringLiteral("At maximum"));
        series->setMarkerShape(QScatterSeries::MarkerShapeRectangle);
        series->setMarkerSize(9);
        series->setColor(Qt::black);
        series->setBorderColor(Qt::yellow);
        series->replace(*marks);
        c->addSeries(series);
        series->attachAxis(xAxis_);
        series->attachAxis(axis);
        // One legend entry for the marks of both plots.
        if (named)
            for (QLegendMarker* m : c->legend()->markers(series)) m->setVisible(false);
        named = true;
        marked_ += static_cast<int>(marks->size());
    }
    connect(xAxis_, &QValueAxis::rangeChanged, this, &TrainChartView::TickAxles);
    ResetZoom();
}

std::pair<double, double> TrainChartView::AxleRange() const {
    return xAxis_ != nullptr ? std::pair{xAxis_->min(), xAxis_->max()} : std::pair{0.0, 0.0};
}

void TrainChartView::TickAxles() {
    if (xAxis_ == nullptr) return;
    xAxis_->setTickInterval(NiceStep(xAxis_->max() - xAxis_->min(), 10));
    viewport()->update();
}

void TrainChartView::ResetZoom() {
    if (xAxis_ == nullptr) return;
    chart()->zoomReset();
    xAxis_->setRange(0.5, std::max<qreal>(1.5, static_cast<qreal>(axles_.size()) + 0.5));
    TickAxles();
}

void TrainChartView::ZoomAxles(double factor, double at) {
    if (xAxis_ == nullptr) return;
    const double first = 0.5, last = std::max<double>(1.5, static_cast<double>(axles_.size()) + 0.5);
    double low = at - (at - xAxis_->min()) * factor;
    double high = at + (xAxis_->max() - at) * factor;
    if (high - low < 2) return;  // two axles at least
    if (high - low >= last - first) {
        low = first;
        high = last;
    }
    if (low < first) high += first - low, low = first;
    if (high > last) low -= high - last, high = last;
    xAxis_->setRange(std::max(low, first), high);
}

QString TrainChartView::AxleText(int axle) const {
    if (axle < 1 || axle > static_cast<int>(axles_.size())) return {};
    const ReportAxle& a = axles_[static_cast<std::size_t>(axle - 1)];
    QString text = QStringLiteral("Axle %1, car %2\nHot box: left %3, right %4").arg(a.axle).arg(a.car)
                       .arg(a.hotBoxLeft).arg(a.hotBoxRight);
    if (a.hotWheelLeft >= 0)
        text += QStringLiteral("\nHot wheel: left %1, right %2").arg(a.hotWheelLeft).arg(a.hotWheelRight);
    if (a.hotBoxLeft == HOT_BOX_MAXED || a.hotBoxRight == HOT_BOX_MAXED || a.hotWheelLeft == HOT_WHEEL_MAXED ||
        a.hotWheelRight == HOT_WHEEL_MAXED)
        text += QStringLiteral("\nA reading at its maximum");
    return text;
}

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
        if (band.width() > 0) painter->fillRect(band, QColor(232, 238, 248));
    }
}

void TrainChartView::MarkAxle(int axle) {
    markedAxle_ = axle >= 1 && axle <= static_cast<int>(axles_.size()) ? axle : 0;
    viewport()->update();
}

void TrainChartView::drawForeground(QPainter* painter, const QRectF&) {
    if (markedAxle_ > 0 && !chart()->series().isEmpty()) {
        // The marked axle: an amber band at least a few pixels wide, edged in red.
        const QRectF plot = chart()->plotArea();
        QAbstractSeries* s = chart()->series().first();
        const double left = chart()->mapToPosition(QPointF(markedAxle_ - 0.5, 0), s).x();
        const double right = chart()->mapToPosition(QPointF(markedAxle_ + 0.5, 0), s).x();
        const double middle = (left + right) / 2, half = std::max(3.0, (right - left) / 2);
        const QRectF band(QPointF(std::max(middle - half, plot.left()), plot.top()),
                          QPointF(std::min(middle + half, plot.right()), plot.bottom()));
        if (band.width() > 0) {
            QColor amber(255, 170, 0, 90);
            painter->fillRect(band, amber);
            painter->setPen(QPen(QColor(200, 0, 0), 1, Qt::DashLine));
            painter->drawLine(QPointF(band.left(), plot.top()), QPointF(band.left(), plot.bottom()));
            painter->drawLine(QPointF(band.right(), plot.top()), QPointF(band.right(), plot.bottom()));
        }
    }
    if (wheelAxis_ == nullptr || axles_.empty()) return;
    // The strip between the plots: the car numbers, where they fit.
    const QRectF plot = chart()->plotArea();
    const double share = kPlotShare * plot.height();
    const QRectF strip(plot.left(), plot.top() + share, plot.width(), plot.height() - 2 * share);
    painter->fillRect(strip.adjusted(0, 2, 0, -2), QColor(250, 250, 250));
    painter->setPen(QColor(90, 90, 90));
    const QFontMetrics metrics(painter->font());
    QAbstractSeries* s = chart()->series().first();
    // Each number centred on its car; a number that would run into the one
    // before is left out, so the numbers shown stay evenly spread.
    double lastRight = plot.left() - 1;
    for (std::size_t i = 0; i < cars_.size(); ++i) {
        const double left = chart()->mapToPosition(QPointF(cars_[i].first - 0.5, 0), s).x();
        const double right = chart()->mapToPosition(QPointF(cars_[i].second + 0.5, 0), s).x();
        const QString number = QString::number(axles_[static_cast<std::size_t>(cars_[i].first - 1)].car);
        const double width = metrics.horizontalAdvance(number);
        const double at = (left + right) / 2 - width / 2;
        if (at < lastRight + 8 || at < plot.left() || at + width > plot.right()) continue;
        painter->drawText(QRectF(at, strip.top(), width, strip.height()), Qt::AlignCenter, number);
        lastRight = at + width;
    }
}

void TrainChartView::wheelEvent(QWheelEvent* event) {
    // The axles zoom around the pointer; the readings keep their scales.
    if (!chart()->series().isEmpty()) {
        const QPointF at = chart()->mapToValue(chart()->mapFromScene(mapToScene(event->position().toPoint())),
                                               chart()->series().first());
        ZoomAxles(event->angleDelta().y() > 0 ? 0.8 : 1.25, at.x());
    }
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
    if (!chart()->series().isEmpty() && chart()->plotArea().contains(mapToScene(event->pos()))) {
        const QPointF value = chart()->mapToValue(chart()->mapFromScene(mapToScene(event->pos())),
                                                  chart()->series().first());
        QToolTip::showText(event->globalPosition().toPoint(), AxleText(static_cast<int>(std::lround(value.x()))), this);
    } else {
        QToolTip::hideText();
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
    // Everything sits in a scrolled page: a small window scrolls instead of
    // squeezing the chart, its legend or the axle table out of sight.
    auto* page = new QWidget;
    summary_ = new QLabel(page);
    summary_->setObjectName(QStringLiteral("trainSummary"));
    summary_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    summary_->setWordWrap(true);
    chart_ = new TrainChartView(page);
    axleTable_ = new QTableWidget(page);
    axleTable_->setObjectName(QStringLiteral("axleTable"));
    axleTable_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    axleTable_->verticalHeader()->hide();

    auto* png = new QPushButton(QStringLiteral("Export chart (PNG)..."), page);
    auto* csv = new QPushButton(QStringLiteral("Export axles (CSV)..."), page);
    auto* report = new QPushButton(QStringLiteral("Open report file"), page);
    auto* reset = new QPushButton(QStringLiteral("Reset zoom"), page);
    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {reset, png, csv, report}) buttons->addWidget(b);
    buttons->addStretch(1);

    auto* split = new QSplitter(Qt::Vertical, page);
    split->addWidget(chart_);
    split->addWidget(axleTable_);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);
    split->setChildrenCollapsible(false);
    chart_->setMinimumHeight(300);
    axleTable_->setMinimumHeight(120);
    split->setSizes({560, 240});
    axleTable_->verticalHeader()->setDefaultSectionSize(axleTable_->fontMetrics().height() + 6);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(summary_);
    layout->addLayout(buttons);
    layout->addWidget(split, 1);
    page->setMinimumSize(560, 520);
    auto* scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("trainPage"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(page);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(scroll);

    connect(reset, &QPushButton::clicked, chart_, &TrainChartView::ResetZoom);
    auto failed = [this](const QString& what, const QString& path, const QString& why) {
        QMessageBox::warning(this, what, QStringLiteral("%1 was not written: %2").arg(path, why));
    };
    connect(png, &QPushButton::clicked, this, [this, failed]() {
        const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export chart"),
                                                          ExportName() + QStringLiteral(".png"),
                                                          QStringLiteral("PNG images (*.png)"));
        QString why;
        if (!path.isEmpty() && !ExportPng(path, &why)) failed(QStringLiteral("Export chart"), path, why);
    });
    connect(csv, &QPushButton::clicked, this, [this, failed]() {
        const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export axles"),
                                                          ExportName() + QStringLiteral("-axles.csv"),
                                                          QStringLiteral("CSV files (*.csv)"));
        QString why;
        if (!path.isEmpty() && !ExportCsv(path, &why)) failed(QStringLiteral("Export axles"), path, why);
    });
    connect(report, &QPushButton::clicked, this, &TrainView::OpenReport);
}

QString TrainView::ExportName() const {
    return QStringLiteral("site-%1-train-%2").arg(train_.siteNumber, 5, 10, QLatin1Char('0')).arg(train_.trainNumber);
}

QWidget* TrainView::OpenReport() {
    const QString path = ReportPath();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        QMessageBox::warning(this, QStringLiteral("Open report file"),
                             QStringLiteral("The report file %1 cannot be read: %2").arg(path, file.errorString()));
        return nullptr;
    }
    QWidget* own = console::OpenTextFile(path);
    if (own != nullptr) own->setObjectName(QStringLiteral("reportText"));
    return own;
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

void TrainView::ShowAxle(int axle) {
    chart_->MarkAxle(axle);
    if (axle < 1 || axle > axleTable_->rowCount()) return;
    axleTable_->selectRow(axle - 1);
    axleTable_->scrollToItem(axleTable_->item(axle - 1, 0), QAbstractItemView::PositionAtCenter);
    // On a long train the axle and its neighbours fill the chart.
    constexpr int kAround = 20;
    if (axleTable_->rowCount() > 2 * kAround) {
        chart_->ResetZoom();
        chart_->ZoomAxles(static_cast<double>(2 * kAround) / axleTable_->rowCount(), axle);
    }
}

bool TrainView::ExportPng(const QString& path, QString* why) {
    // A title line above the chart says which train it is.
    const QString title = QStringLiteral("Site %1%2, train %3, %4 (received %5)")
                              .arg(train_.siteNumber, 5, 10, QLatin1Char('0'))
                              .arg(train_.siteName.empty() ? QString() : QStringLiteral(" ") + Text(train_.siteName))
                              .arg(train_.trainNumber)
                              .arg(Text(train_.firstTime), Text(train_.received));
    const QPixmap plot = chart_->grab();
    QFont font = chart_->font();
    font.setBold(true);
    const int line = QFontMetrics(font).height() + 8;
    QImage image(plot.width(), plot.height() + line, QImage::Format_RGB32);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        painter.setFont(font);
        painter.drawText(QRect(8, 0, image.width() - 16, line), Qt::AlignLeft | Qt::AlignVCenter, title);
        painter.drawPixmap(0, line, plot);
    }
    QSaveFile file(path);
    QImageWriter writer(&file, "png");
    const bool ok = file.open(QIODevice::WriteOnly) && writer.write(image) && file.commit();
    if (!ok && why != nullptr) *why = file.error() != QFileDevice::NoError ? file.errorString() : writer.errorString();
    return ok;
}

bool TrainView::ExportCsv(const QString& path, QString* why) {
    QSaveFile file(path);
    const std::string csv = FormatAxleCsv(axles_);
    const bool ok = file.open(QIODevice::WriteOnly) &&
                    file.write(csv.data(), static_cast<qint64>(csv.size())) == static_cast<qint64>(csv.size()) &&
                    file.commit();
    if (!ok && why != nullptr) *why = file.errorString();
    return ok;
}
