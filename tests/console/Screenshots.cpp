// kestova_screenshots: the console as `kestova` runs it, with one scripted
// scene, saved as a picture for the documentation. Run it under an X server
// (xvfb-run) against the site simulator; see docs/console.md.
//
//   kestova_screenshots SCENE FILE.png
//
// Scenes: main (the main window after a while of traffic), echo (the echo
// dialog after a send), port (the port selection dialog), look:<id> (the
// main window in look <id>, 205..219).
#include <QApplication>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "common/Globals.h"
#include "console/DlgCmndEcho.h"
#include "console/DlgPortSelection.h"
#include "console/KestovaApp.h"
#include "console/Looks.h"
#include "console/MainFrame.h"
#include "console/Screenshot.h"

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

}  // namespace

int main(int argc, char* argv[]) {
    QApplication qapp(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: kestova_screenshots main|echo|port|look:<id> FILE.png\n");
        return 2;
    }
    const QString scene = QString::fromLocal8Bit(argv[1]);
    const QByteArray file = argv[2];
    int result = 0;

    if (scene == QStringLiteral("port")) {
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

    CKestovaApp app;
    if (scene.startsWith(QStringLiteral("look:"))) ApplyLook(scene.mid(5).toInt());
    if (!app.InitInstance({})) return 1;
    if (scene.startsWith(QStringLiteral("look:"))) app.MainFrame()->OnApplicationLook(scene.mid(5).toInt());

    if (scene == QStringLiteral("echo")) {
        QTimer::singleShot(Delay(6000) / 2, [&]() {
            auto* dialog = new CDlgCmndEcho(app.MainFrame());
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
