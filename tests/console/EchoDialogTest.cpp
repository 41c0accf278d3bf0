// The echo dialog against the real worker on an in-memory port.
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include "ConsoleTestSupport.h"
#include "console/ConsoleCommands.h"
#include "console/DlgCmndEcho.h"
#include "engine/Worker.h"
#include "radio/Frame.h"

using consoletest::ColourAt;
using consoletest::CollectorWithFeed;
using consoletest::PaneText;
using consoletest::Q;
using consoletest::WorkerThread;

class EchoDialogTest : public QObject {
    Q_OBJECT
private slots:
    void init() { bridge::Install(); }

    void sendsThroughTheWorkerAndShowsItsLine() {
        CollectorWithFeed rig;
        Collector& collector = *rig.collector;
        WorkerThread worker(collector);

        auto dialog = std::make_unique<CDlgCmndEcho>(&collector, &rig.feed);
        dialog->show();
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Dialog"));
        QCOMPARE(dialog->RemoteField()->text(), QStringLiteral("0"));
        QCOMPARE(dialog->LengthField()->text(), QStringLiteral("40"));
        QCOMPARE(dialog->SendButton()->text(), QStringLiteral("Send Cmnd"));
        QCOMPARE(dialog->CloseButton()->text(), QStringLiteral("Close/Exit"));

        dialog->RemoteField()->setText(QStringLiteral("17"));
        QTest::mouseClick(dialog->SendButton(), Qt::LeftButton);
        QTRY_VERIFY(!collector.EchoRequested());
        QTRY_VERIFY(PaneText(dialog->Pane()).endsWith(QLatin1Char('\n')));

        // One frame to site 17 with 41 numbered groups of 6 characters.
        const std::vector<std::uint8_t> sent = rig.radio.port->TakeWritten();
        QCOMPARE(sent.size(), FRAME_OVERHEAD + 3 + 41 * 6);
        QCOMPARE(sent[3], std::uint8_t(17));
        QCOMPARE(sent[7], std::uint8_t(PT_ECHO));

        // One line: the plain prefix in purple, the text in dark blue.
        const QString text = PaneText(dialog->Pane());
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d: Sending \"ECHO\" to SiteID = 17 \n$"))
                     .match(text)
                     .hasMatch(),
                 qPrintable(text));
        QCOMPARE(ColourAt(dialog->Pane(), 0), Q(COLOUR_PURPLE));
        QCOMPARE(ColourAt(dialog->Pane(), 10), Q(COLOUR_DARK_BLUE));

        // An out-of-range length goes out as 200; the open field keeps what
        // was typed, the next opening shows the corrected value.
        dialog->RemoteField()->setText(QStringLiteral("300"));
        dialog->LengthField()->setText(QStringLiteral("5"));
        dialog->OnSend();
        QCOMPARE(collector.EchoSite(), std::uint8_t(44));
        QTRY_VERIFY(!collector.EchoRequested());
        QTRY_COMPARE(collector.EchoLength(), 200);
        QCOMPARE(dialog->LengthField()->text(), QStringLiteral("5"));
        QTRY_COMPARE(PaneText(dialog->Pane()).count(QLatin1Char('\n')), 2);

        // Enter sends wherever the focus is: in the pane the lines came to,
        // on the close button; the dialog stays open.
        int lines = 2;
        for (QWidget* focus : {static_cast<QWidget*>(dialog->Pane()), static_cast<QWidget*>(dialog->CloseButton())}) {
            focus->setFocus();
            QTest::keyClick(focus, Qt::Key_Return);
            ++lines;
            QTRY_COMPARE(PaneText(dialog->Pane()).count(QLatin1Char('\n')), lines);
            QVERIFY(dialog->isVisible());
        }
        // Closed, the dialog shows no further line (one still on its way included).
        rig.feed.Queue()->EchoLine("after the close\n");
        dialog->OnClose();
        QVERIFY(!collector.EchoRequested());
        rig.feed.DrainAll();
        QCOMPARE(PaneText(dialog->Pane()).count(QLatin1Char('\n')), lines);
        dialog.reset();

        CDlgCmndEcho reopened(&collector, &rig.feed);
        QCOMPARE(reopened.RemoteField()->text(), QStringLiteral("44"));
        QCOMPARE(reopened.LengthField()->text(), QStringLiteral("200"));
        worker.Stop();
    }

    void closingRightAfterSendWithdrawsTheRequest() {
        CollectorWithFeed rig;
        {
            CDlgCmndEcho dialog(rig.collector.get(), &rig.feed);
            dialog.OnSend();
            QVERIFY(rig.collector->EchoRequested());
            dialog.OnClose();
            QVERIFY(!rig.collector->EchoRequested());
        }
        RunCollectorCycle(*rig.collector);
        QCOMPARE(rig.radio.port->WrittenSize(), std::size_t(0));
    }

    void aDialogThatIsGoneGetsNothingAndFieldsReadLikeNumbers() {
        CollectorWithFeed rig;
        {
            // Destroyed without Close/Exit, with a line on its way to it.
            CDlgCmndEcho dialog(rig.collector.get(), &rig.feed);
            rig.feed.Queue()->EchoLine("x\n");
        }
        rig.feed.DrainAll();

        QCOMPARE(ReadFieldNumber(QStringLiteral("  -12abc")), -12);
        QCOMPARE(ReadFieldNumber(QStringLiteral("+7")), 7);
        QCOMPARE(ReadFieldNumber(QStringLiteral("abc")), 0);
        QCOMPARE(ReadFieldNumber(QStringLiteral("99999999999999")), 2147483647);
        QCOMPARE(ReadFieldNumber(QStringLiteral("-99999999999999")), -2147483647 - 1);
        // Only the first 29 characters are read.
        QCOMPARE(ReadFieldNumber(QString(28, QLatin1Char(' ')) + QStringLiteral("95")), 9);

        // The green variant of the echo line.
        CDlgCmndEcho dialog(nullptr, nullptr);
        dialog.OnWindowMessage(WM_ECHO_TEXT_GREEN, 0, reinterpret_cast<LPARAM>("green\n"));
        dialog.OnWindowMessage(WM_ECHO_TEXT, 0, 0);
        QCOMPARE(ColourAt(dialog.Pane(), 10), Q(COLOUR_DARK_GREEN));
        QCOMPARE(PaneText(dialog.Pane()).count(QLatin1Char('\n')), 1);
    }
};

QTEST_MAIN(EchoDialogTest)
#include "EchoDialogTest.moc"
