// The real console program closes cleanly on SIGTERM, SIGINT and SIGHUP
// while its worker is logging traffic from a pseudo-terminal radio.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include "unit/TestSupport.h"

namespace {

QString ScopeLogText(const QString& home) {
    QString text;
    const QDir logs(home + QStringLiteral("/Logs"));
    for (const QString& name : logs.entryList(QDir::Files)) {
        QFile file(logs.filePath(name));
        if (file.open(QIODevice::ReadOnly)) text += QString::fromLatin1(file.readAll());
    }
    return text;
}

}  // namespace

class SignalTest : public QObject {
    Q_OBJECT
private slots:
    void closesWithStatusZero_data() {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }

    void closesWithStatusZero() {
        QFETCH(int, signalNumber);
        QTemporaryDir home;
        int master = -1, slave = -1;
        char name[256] = {};
        QVERIFY(::openpty(&master, &slave, name, nullptr, nullptr) == 0);
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        QVERIFY(QDir(home.path()).mkpath(QStringLiteral("Ports")));
        QVERIFY(QFile::link(QString::fromLatin1(name), home.path() + QStringLiteral("/Ports/COM3")));
        {
            QFile ini(home.path() + QStringLiteral("/K7_Dialups.ini"));
            QVERIFY(ini.open(QIODevice::WriteOnly));
            ini.write("[Radio Serial Port]\nRadio_Port=3\n");
        }

        QProcess console;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("KESTOVA_HOME"), home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/config"));
        console.setProcessEnvironment(env);
        console.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        console.start(QStringLiteral(KESTOVA_CONSOLE_EXE), {});
        QVERIFY(console.waitForStarted());

        // Frames for another collector: logged and dumped, nothing answered.
        const auto frame = testsupport::MakeFrame(9, 77, 1, 3, {1, 2, 3});
        auto feed = [&]() { [[maybe_unused]] ssize_t n = ::write(master, frame.data(), frame.size()); };
        QDeadlineTimer deadline(30000);
        while (!ScopeLogText(home.path()).contains(QStringLiteral("Field  | 55 AA 09 4D")) && !deadline.hasExpired()) {
            feed();
            QTest::qWait(50);
        }
        QVERIFY2(!deadline.hasExpired(), "the console never logged the traffic");

        feed();
        ::kill(static_cast<pid_t>(console.processId()), signalNumber);
        feed();
        QVERIFY(console.waitForFinished(20000));
        QCOMPARE(console.exitStatus(), QProcess::NormalExit);
        QCOMPARE(console.exitCode(), 0);
        ::close(master);
        ::close(slave);
    }
};

QTEST_GUILESS_MAIN(SignalTest)
#include "SignalTest.moc"
