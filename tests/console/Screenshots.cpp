// kestova_screenshots: the console as `kestova` runs it, with one scripted
// scene, saved as a picture for the documentation. Run it under an X server
// (xvfb-run) against the site simulator; see docs/console.md.
//
//   kestova_screenshots SCENE FILE.png
//
// Scenes: main (the main window after a while of traffic), echo (the echo
// dialog after a send), port (the port selection dialog; port:<id> shows it
// in look <id>), look:<id> (the main window in look <id>, 205..219),
// looks-sheet (the top left corner of the main window in each of the eleven
// looks, side by side, named), find (the scope paused, with lines waiting
// and the matches of a search highlighted), switch (the scope and the
// status bar after Commands, Select Radio Port... moved the collector from
// COM1 to COM2), sites, trains and train (the history views; train opens, of
// the newest 200, a train with cars, hot wheels and a hot bearing, the
// longest of them), alarms (the Alarms view, two older alarms acknowledged)
// and train-alarm (a train opened from its alarm, at the axle).
#include <QApplication>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QTableView>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "console/ChildFrame.h"
#include "console/DlgCmndEcho.h"
#include "console/DlgPortSelection.h"
#include "console/KestovaApp.h"
#include "console/Looks.h"
#include "console/AlarmsView.h"
#include "console/MainFrame.h"
#include "console/RichEditScopeView.h"
#include "console/Screenshot.h"
#include "console/SitesView.h"
#include "console/TrainView.h"
#include "console/TrainsView.h"
#include "platform/Paths.h"

namespace {

int Delay(int fallback) {
    const char* text = std::getenv("KESTOVA_SCREENSHOT_DELAY_MS");
    return text != nullptr ? std::atoi(text) : fallback;
}

void Centre(QWidget* dialog) {
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        dialog->move(area.center() - QPoint(dialog->width() / 2, dialog->height() / 2));
    }
}

// The menu text of a look without its shortcut mark, with its submenu.
QString LookTitle(int id) {
    QString name = LookMenuText(id).remove(QLatin1Char('&'));
    if (id == looks::kWindows7) name = QStringLiteral("Windows 7");
    const QString sub = LookSubmenuText(id).remove(QLatin1Char('&'));
    return sub.isEmpty() ? name : sub + QStringLiteral(", ") + name;
}

// The picture in at most 256 colours, so the sheet stays small as a file:
// the most frequent colours (counted on 5 bits a channel) form the table and
// every pixel takes the nearest of them.
QImage FewColours(const QImage& picture) {
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB32);
    const auto bin = [](QRgb c) { return (qRed(c) >> 3) << 10 | (qGreen(c) >> 3) << 5 | (qBlue(c) >> 3); };
    struct Bin {
        long long count = 0, r = 0, g = 0, b = 0;
    };
    std::vector<Bin> bins(1 << 15);
    for (int y = 0; y < rgb.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x) {
            Bin& b = bins[std::size_t(bin(line[x]))];
            ++b.count;
            b.r += qRed(line[x]);
            b.g += qGreen(line[x]);
            b.b += qBlue(line[x]);
        }
    }
    std::vector<int> order;
    for (int i = 0; i < int(bins.size()); ++i)
        if (bins[std::size_t(i)].count > 0) order.push_back(i);
    std::sort(order.begin(), order.end(),
              [&](int a, int b) { return bins[std::size_t(a)].count > bins[std::size_t(b)].count; });
    if (order.size() > 256) order.resize(256);
    QList<QRgb> table;
    for (int i : order) {
        const Bin& b = bins[std::size_t(i)];
        table.push_back(qRgb(int(b.r / b.count), int(b.g / b.count), int(b.b / b.count)));
    }
    // The nearest table entry for every bin that occurs.
    std::vector<uchar> nearest(bins.size(), 0);
    for (int i = 0; i < int(bins.size()); ++i) {
        const Bin& b = bins[std::size_t(i)];
        if (b.count == 0) continue;
        const int r = int(b.r / b.count), g = int(b.g / b.count), bl = int(b.b / b.count);
        int best = 0, bestDistance = INT_MAX;
        for (int k = 0; k < int(table.size()); ++k) {
            const int dr = qRed(table[k]) - r, dg = qGreen(table[k]) - g, db = qBlue(table[k]) - bl;
            const int distance = 3 * dr * dr + 4 * dg * dg + 2 * db * db;
            if (distance < bestDistance) {
                bestDistance = distance;
                best = k;
            }
        }
        nearest[std::size_t(i)] = uchar(best);
    }
    QImage indexed(rgb.size(), QImage::Format_Indexed8);
    indexed.setColorTable(table);
    for (int y = 0; y < rgb.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        uchar* out = indexed.scanLine(y);
        for (int x = 0; x < rgb.width(); ++x) out[x] = nearest[std::size_t(bin(line[x]))];
    }
    return indexed;
}

// Shows the frame in every look in turn and draws the top left corner of
// each into one picture, three to a row, the look's name above it.
bool SaveLooksSheet(CMainFrame* frame, const QString& file) {
    const QSize crop(800, 300);
    const double scale = 0.7;
    const QSize cell(int(crop.width() * scale), int(crop.height() * scale));
    const int columns = 3, gap = 10, caption = 22;
    const int count = int(LookIds().size());
    const int rows = (count + columns - 1) / columns;
    QImage sheet(columns * (cell.width() + gap) + gap, rows * (cell.height() + caption + gap) + gap,
                 QImage::Format_RGB32);
    sheet.fill(QColor(0x5a, 0x5a, 0x5a));
    QPainter painter(&sheet);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QFont font = painter.font();
    font.setPixelSize(14);
    font.setBold(true);
    painter.setFont(font);
    const int restore = CurrentLook();
    for (int i = 0; i < count; ++i) {
        const int id = LookIds()[std::size_t(i)];
        frame->OnApplicationLook(id);
        for (int pass = 0; pass < 5; ++pass) QCoreApplication::processEvents();
        const QPixmap corner = frame->grab(QRect(QPoint(0, 0), crop));
        const int x = gap + (i % columns) * (cell.width() + gap);
        const int y = gap + (i / columns) * (cell.height() + caption + gap);
        painter.setPen(Qt::white);
        painter.drawText(QRect(x, y, cell.width(), caption), Qt::AlignLeft | Qt::AlignVCenter,
                         QStringLiteral("%1  %2").arg(id).arg(LookTitle(id)));
        painter.drawPixmap(QRect(QPoint(x, y + caption), cell), corner);
    }
    painter.end();
    frame->OnApplicationLook(restore);
    return FewColours(sheet).save(file);
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication qapp(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: kestova_screenshots main|echo|find|switch|port[:<id>]|look:<id>|looks-sheet|sites|trains|train FILE.png\n");
        return 2;
    }
    const QString scene = QString::fromLocal8Bit(argv[1]);
    const QByteArray file = argv[2];
    int result = 0;

    if (scene == QStringLiteral("port") || scene.startsWith(QStringLiteral("port:"))) {
        // In the stored look, as the console shows it, or in look <id>.
        if (scene.startsWith(QStringLiteral("port:")))
            ApplyLook(scene.mid(5).toInt());
        else
            ApplyStoredLook();
        CDlgPortSelection dialog;
        dialog.show();
        Centre(&dialog);
        QTimer::singleShot(Delay(800), [&]() {
            if (!dialog.grab().save(QString::fromLocal8Bit(file))) result = 1;
            dialog.OnCancel();
        });
        dialog.exec();
        return result;
    }

    // The data folder as the console finds it (KESTOVA_HOME, set by the script).
    DataFolderChoice choice;
    choice.installed = InstalledDataFolder::User;
    std::string origin;
    ConsoleOptions options;
    options.dataFolder = ProgramDataFolder(choice, &origin);
    if (scene == QStringLiteral("switch")) options.choosePort = [] { return 2; };
    CKestovaApp app(options);
    if (scene.startsWith(QStringLiteral("look:"))) ApplyLook(scene.mid(5).toInt());
    if (!app.InitInstance({})) return 1;
    if (scene.startsWith(QStringLiteral("look:"))) app.MainFrame()->OnApplicationLook(scene.mid(5).toInt());

    if (scene == QStringLiteral("echo")) {
        QTimer::singleShot(Delay(6000) / 2, [&]() {
            auto* dialog = new CDlgCmndEcho(app.GetCollector(), app.MainFrame()->Feed(), app.MainFrame());
            dialog->setAttribute(Qt::WA_DeleteOnClose);
            dialog->show();
            Centre(dialog);
            dialog->RemoteField()->setText(QStringLiteral("12"));
            dialog->LengthField()->setText(QStringLiteral("40"));
            dialog->OnSend();
            QTimer::singleShot(1500, [dialog]() { dialog->OnSend(); });
            QTimer::singleShot(Delay(6000) / 2, [&, dialog]() {
                if (!SaveScreenshot(app.MainFrame(), file.constData())) result = 1;
                dialog->OnClose();
                app.RequestQuit();
            });
        });
    } else if (scene == QStringLiteral("find") || scene == QStringLiteral("switch")) {
        QTimer::singleShot(Delay(6000) / 2, [&]() {
            CChildFrame* child = app.MainFrame()->ActiveChild();
            CRichEditScopeView* pane = child != nullptr ? child->Pane() : nullptr;
            if (scene == QStringLiteral("switch")) {
                app.SelectRadioPort();
            } else if (pane != nullptr) {
                pane->SetPaused(true);
                pane->ShowFindBar();
                pane->FindField()->setText(QStringLiteral("Powerup"));
                pane->FindNext(QStringLiteral("Powerup"), true);
            }
            QTimer::singleShot(Delay(6000) / 2, [&]() {
                app.MainFrame()->UpdateLinkPane();
                if (!SaveScreenshot(app.MainFrame(), file.constData())) result = 1;
                app.RequestQuit();
            });
        });
    } else if (scene == QStringLiteral("alarms") || scene == QStringLiteral("train-alarm")) {
        QTimer::singleShot(Delay(6000), [&]() {
            CMainFrame* frame = app.MainFrame();
            QApplication::setActiveWindow(frame);
            AlarmsView* view = frame->OpenAlarmsView();
            AlarmsModel* model = view->Model();
            if (scene == QStringLiteral("alarms")) {
                // Two of the older alarms acknowledged, so both kinds of row show.
                const int rows = model->rowCount();
                if (rows > 4) {
                    view->Table()->selectRow(rows - 1);
                    view->Table()->selectionModel()->select(model->index(rows - 2, 0),
                                                            QItemSelectionModel::Select | QItemSelectionModel::Rows);
                    view->AcknowledgeSelected(QStringLiteral("Ann Lind"), QStringLiteral("car 3 set out at the next siding"));
                    view->Table()->clearSelection();
                    view->Table()->scrollToTop();
                }
            } else {
                // The first open hot-box alarm, else any alarm on an axle.
                const AlarmRow* pick = nullptr;
                for (int row = 0; row < std::min(model->rowCount(), 200); ++row) {
                    const AlarmRow* a = model->Row(row);
                    if (a == nullptr || a->axle <= 0) continue;
                    if (pick == nullptr || (a->kind == "hot-box" && pick->kind != "hot-box")) pick = a;
                }
                if (pick != nullptr) frame->OpenTrainAtAxle(pick->trainId, pick->axle);
            }
            QMdiSubWindow* shown = frame->MdiArea()->subWindowList(QMdiArea::CreationOrder).last();
            QTimer::singleShot(1500, [&, shown]() {
                app.MainFrame()->MdiArea()->setActiveSubWindow(shown);
                QApplication::processEvents();
                if (!SaveScreenshot(app.MainFrame(), file.constData())) result = 1;
                app.RequestQuit();
            });
        });
    } else if (scene == QStringLiteral("sites") || scene == QStringLiteral("trains") ||
               scene == QStringLiteral("train")) {
        QTimer::singleShot(Delay(6000), [&]() {
            CMainFrame* frame = app.MainFrame();
            // Without a window manager the frame is never made the active
            // window, and the tab area would keep its first tab in front.
            QApplication::setActiveWindow(frame);
            if (scene == QStringLiteral("sites")) {
                frame->OpenSitesView();
            } else {
                TrainsModel* model = frame->OpenTrainsView()->Model();
                if (scene == QStringLiteral("train")) {
                    // A train with cars, hot-wheel readings and, best, a hot
                    // bearing; the longest of those.
                    auto score = [](const TrainRow* r) {
                        return (r->cars > 0 ? 8 : 0) + (r->hotWheelMax[0] >= 0 ? 4 : 0) +
                               (std::max(r->hotBoxMax[0], r->hotBoxMax[1]) > 120 ? 2 : 0);
                    };
                    const TrainRow* pick = nullptr;
                    for (int row = 0; row < std::min(model->rowCount(), 200); ++row) {
                        const TrainRow* r = model->Row(row);
                        if (r == nullptr) continue;
                        if (pick == nullptr || score(r) > score(pick) ||
                            (score(r) == score(pick) && r->axles > pick->axles))
                            pick = r;
                    }
                    if (pick != nullptr) frame->OpenTrainView(pick->id);
                }
            }
            QMdiSubWindow* shown = frame->MdiArea()->subWindowList(QMdiArea::CreationOrder).last();
            QTimer::singleShot(1500, [&, shown]() {
                app.MainFrame()->MdiArea()->setActiveSubWindow(shown);
                QApplication::processEvents();
                if (!SaveScreenshot(app.MainFrame(), file.constData())) result = 1;
                app.RequestQuit();
            });
        });
    } else if (scene == QStringLiteral("looks-sheet")) {
        QTimer::singleShot(Delay(6000), [&]() {
            if (!SaveLooksSheet(app.MainFrame(), QString::fromLocal8Bit(file))) result = 1;
            app.RequestQuit();
        });
    } else {
        QTimer::singleShot(Delay(6000), [&]() {
            if (!SaveScreenshot(app.MainFrame(), file.constData())) result = 1;
            app.RequestQuit();
        });
    }
    const int code = app.ExitInstance(qapp.exec());
    if (app.WorkerAbandoned()) std::_Exit(code);
    return result != 0 ? result : code;
}
