#pragma once
// Shared by the console tests: a private data folder and settings store per
// test, and collectors on an in-memory port with a fake clock.
#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMessageBox>
#include <QTimer>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QtTest>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/LogLine.h"
#include "console/RichEditScopeView.h"
#include "console/ScopeFeed.h"
#include "console/WindowBridge.h"
#include "engine/Collector.h"
#include "platform/Clock.h"
#include "radio/Frame.h"
#include "radio/SerialPort.h"

namespace consoletest {

// A fresh data folder and per-user settings folder.
class TempHome {
public:
    TempHome() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           dir_.path() + QStringLiteral("/settings"));
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope,
                           dir_.path() + QStringLiteral("/settings"));
    }
    // The data folder as a collector takes it, with a trailing "/".
    std::string Folder() const { return dir_.path().toStdString() + "/"; }
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

inline QByteArray ReadAll(const std::string& path) {
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The radio side of a collector: an in-memory port (the newest one made)
// and a fake clock whose pauses take a millisecond of real time, so a
// running worker idles without spinning.
class FakeRadio {
public:
    FakeRadio() {
        clock.SetSleepHook([](std::uint32_t) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
    }
    // For ConsoleOptions::makeRadioPort and CollectorSetup::port.
    std::unique_ptr<CSerialPortInterface> MakePort() {
        auto made = std::make_unique<MemorySerialPort>();
        port = made.get();
        return made;
    }
    // A collector of the test's own on this radio, in `home`'s data folder.
    std::unique_ptr<Collector> MakeCollector(const TempHome& home) {
        CollectorSetup setup;
        setup.dataFolder = home.Folder();
        setup.port = MakePort();
        setup.clock = &clock;
        return std::make_unique<Collector>(std::move(setup));
    }
    FakeClock clock;
    MemorySerialPort* port = nullptr;
};

// A collector of the test's own whose scope view is a feed, as the
// console's frame has it: entries reach a scope view only when the feed
// drains (DrainAll, or the event loop). The collector goes first, so its
// worker never meets a feed that is gone.
struct CollectorWithFeed {
    explicit CollectorWithFeed(std::size_t capacity = SCOPE_QUEUE_DEFAULT) : feed(nullptr, capacity) {
        feed.SetLogPath([this]() { return collector->ScopeLogPath(); });
        collector->SetScopeView(feed.Queue());
    }
    // The day's scope log as it is now.
    QString Log() const { return QString::fromLatin1(ReadAll(collector->ScopeLogPath())); }

    TempHome home;
    FakeRadio radio;
    ScopeFeed feed;
    std::unique_ptr<Collector> collector = radio.MakeCollector(home);
};

// A collector's worker thread, stopped (with the bridge's shutdown, as the
// console does, and the event loop running) when the object goes.
class WorkerThread {
public:
    explicit WorkerThread(Collector& collector) : collector_(collector) { collector_.Start(); }
    ~WorkerThread() { Stop(); }
    void Stop() {
        if (stopped_) return;
        stopped_ = true;
        bridge::BeginShutdown();
        if (!collector_.Stop(std::chrono::milliseconds(10000),
                             [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 5); }))
            QWARN("the worker did not stop");
        bridge::ResetShutdown();
    }

private:
    Collector& collector_;
    bool stopped_ = false;
};

// The frames of one packet type among bytes a collector wrote.
inline int CountFrames(const std::vector<std::uint8_t>& bytes, std::uint8_t type) {
    int count = 0;
    for (std::size_t at = 0; at + FRAME_OVERHEAD <= bytes.size();) {
        if (bytes[at] != FRAME_START_1 || bytes[at + 1] != FRAME_START_2) {
            ++at;
            continue;
        }
        const std::size_t length = bytes[at + 5] | static_cast<std::size_t>(bytes[at + 6]) << 8;
        if (bytes[at + 7] == type) ++count;
        at += length < FRAME_OVERHEAD ? 1 : length;
    }
    return count;
}

// Closes every message box the console shows while it lives, answering
// OK, and keeps their texts.
class BoxCloser {
public:
    BoxCloser() {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this]() {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(w);
                if (box == nullptr || !box->isVisible()) continue;
                texts << box->text();
                box->accept();
            }
        });
        timer_.start();
    }
    QStringList texts;

private:
    QTimer timer_;
};

// The message boxes open now.
inline QList<QMessageBox*> OpenBoxes() {
    QList<QMessageBox*> open;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) open << box;
    return open;
}

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
