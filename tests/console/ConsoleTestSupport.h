#pragma once
// Shared by the console tests: a private program folder and settings store
// per test, and a worker thread on an in-memory port with a fake clock.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QtTest>
#include <chrono>
#include <memory>
#include <thread>

#include "common/Globals.h"
#include "common/LogLine.h"
#include "console/RichEditScopeView.h"
#include "console/WindowBridge.h"
#include "engine/Startup.h"
#include "platform/Clock.h"
#include "platform/ScopeLog.h"
#include "radio/SerialPort.h"

namespace consoletest {

// A fresh program folder (KESTOVA_HOME) and per-user settings folder.
class TempHome {
public:
    TempHome() {
        ResetProcessValues();
        qputenv("KESTOVA_HOME", dir_.path().toLocal8Bit());
        exeDirectory = dir_.path().toStdString() + "/";
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           dir_.path() + QStringLiteral("/settings"));
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope,
                           dir_.path() + QStringLiteral("/settings"));
    }
    ~TempHome() {
        SetScopeLogEnabled(false);
        ResetProcessValues();
    }
    QString Path(const QString& name = QString()) const {
        return name.isEmpty() ? dir_.path() : dir_.path() + QLatin1Char('/') + name;
    }
    void WriteFile(const QString& name, const QByteArray& text) const {
        QFile file(Path(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
    QByteArray ReadFile(const QString& name) const {
        QFile file(Path(name));
        if (!file.open(QIODevice::ReadOnly)) return QByteArray();
        return file.readAll();
    }

private:
    QTemporaryDir dir_;
};

// An in-memory radio port installed for the process, and a fake clock whose
// pauses take a millisecond of real time (the worker idles without spinning).
class FakeRadio {
public:
    FakeRadio() {
        clock.SetSleepHook([](std::uint32_t) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
    }
    FakeClock clock;
    ScopedDevices<> devices{&clock};
    MemorySerialPort* port = devices.port;
};

// The worker thread, stopped (with the bridge's shutdown, as the console
// does) when the object goes.
class WorkerThread {
public:
    WorkerThread() { worker.Start(); }
    ~WorkerThread() { Stop(); }
    void Stop() {
        if (stopped) return;
        stopped = true;
        bridge::BeginShutdown();
        // Messages already on their way are handled while we wait.
        if (!worker.Stop(std::chrono::milliseconds(10000),
                         [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 5); }))
            QWARN("the worker did not stop");
        bridge::ResetShutdown();
        workerStop = 0;
    }
    CollectorWorker worker;
    bool stopped = false;
};

// The pane's text, line ends as "\n".
inline QString PaneText(const CRichEditScopeView* pane) {
    QString text = pane->document()->toPlainText();
    return text;
}

// The foreground colour of the character at `position`.
inline QColor ColourAt(const CRichEditScopeView* pane, int position) {
    QTextCursor cursor(pane->document());
    cursor.setPosition(position);
    cursor.movePosition(QTextCursor::NextCharacter, QTextCursor::KeepAnchor);
    return cursor.charFormat().foreground().color();
}

inline QColor Q(Colour c) { return ToQColor(c); }

}  // namespace consoletest
