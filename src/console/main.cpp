// kestova: the operator console.
#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "console/KestovaApp.h"
#include "console/MainFrame.h"
#include "console/SignalWatcher.h"
#include "console/Screenshot.h"

int main(int argc, char* argv[]) {
    QApplication qapp(argc, argv);
    QApplication::setApplicationDisplayName(QString());

    CKestovaApp app;
    SignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &SignalWatcher::Received, &app, [&app](int) { app.RequestQuit(); });

    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    if (!app.InitInstance(arguments)) {
        app.ExitInstance(1);
        return 1;
    }
    ScheduleScreenshotFromEnvironment(app.MainFrame());

    const int code = app.ExitInstance(qapp.exec());
    if (app.WorkerAbandoned()) {
        // The worker is still inside a wait of its own: end here, before the
        // destructors take its port and values away.
        std::fflush(nullptr);
        std::_Exit(code);
    }
    return code;
}
