#include "console/Screenshot.h"

#include <QGuiApplication>
#include <QPixmap>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <string>

#include "console/KestovaApp.h"

bool SaveScreenshot(QWidget* mainWindow, const char* path) {
    QPixmap picture;
    if (QScreen* screen = QGuiApplication::primaryScreen()) picture = screen->grabWindow(0);
    if ((picture.isNull() || picture.width() <= 1) && mainWindow != nullptr)
        picture = mainWindow->grab();
    return !picture.isNull() && picture.save(QString::fromLocal8Bit(path));
}

void ScheduleScreenshotFromEnvironment(QWidget* mainWindow) {
    const char* path = std::getenv("KESTOVA_SCREENSHOT");
    if (path == nullptr || *path == '\0') return;
    int delay = 4000;
    if (const char* text = std::getenv("KESTOVA_SCREENSHOT_DELAY_MS")) delay = std::atoi(text);
    const char* quit = std::getenv("KESTOVA_SCREENSHOT_QUIT");
    const bool quitAfter = quit != nullptr && std::string(quit) == "1";
    const std::string file = path;
    QPointer<QWidget> window(mainWindow);
    QTimer::singleShot(delay, [window, file, quitAfter]() {
        SaveScreenshot(window.data(), file.c_str());
        if (quitAfter) {
            if (CKestovaApp* app = CKestovaApp::Instance()) app->RequestQuit();
        }
    });
}
