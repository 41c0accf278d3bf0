// The port selection dialog on fixture port trees: its options, live
// refiltering, OK, Cancel, double click and its two messages.
#include <QApplication>
#include <QCheckBox>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "console/DialogUnits.h"
#include "console/DlgPortSelection.h"
#include "unit/PortFixture.h"

using testsupport::PortFixture;

namespace {

// Records the message boxes instead of showing them.
class RecordingDialog : public CDlgPortSelection {
public:
    QStringList messages;

protected:
    void ShowMessage(const QString& text) override { messages << text; }
};

// ttyS0 present, ttyS1 installed only, an FTDI adapter linked as COM7.
void MakeMachine(PortFixture& f) {
    f.AddTty("ttyS0", "serial8250", 4);
    f.AddTty("ttyS1", "serial8250", 0);
    f.AddTty("ttyUSB0", "ftdi_sio", std::nullopt, "FT232R USB UART");
    f.AddLink("COM7", f.Dev("ttyUSB0"));
}

QStringList Rows(const QListWidget* list) {
    QStringList rows;
    for (int i = 0; i < list->count(); ++i) rows << list->item(i)->text();
    return rows;
}

void Select(CDlgPortSelection& dialog, int row) {
    dialog.portList->setCurrentRow(row);
    QVERIFY(dialog.portList->item(row)->isSelected());
}

}  // namespace

class PortDialogTest : public QObject {
    Q_OBJECT
private slots:
    void opensWithTheCallersOptionsAndTheTemplateLayout() {
        PortFixture f;
        MakeMachine(f);
        RecordingDialog dialog;
        dialog.roots = f.roots;
        dialog.show();
        QVERIFY(dialog.presentOnlyBox->isChecked());
        QVERIFY(!dialog.physicalOnlyBox->isChecked());
        QVERIFY(dialog.presentOnlyBox->isEnabled() && dialog.physicalOnlyBox->isEnabled());
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Dialog"));
        QCOMPARE(Rows(dialog.portList),
                 QStringList({"  1 -  COM1:  Communications Port (COM1)",
                              "  2 -  COM7:  FT232R USB UART on ttyUSB0 (COM7)"}));
        QCOMPARE(dialog.portList->item(1)->data(Qt::UserRole).toInt(), 7 + kVirtualPortMark);
        QCOMPARE(dialog.selectedPort, -1);

        DialogUnits du(dialog.font());
        QCOMPARE(dialog.size(), du.Size(262, 210));
        QCOMPARE(dialog.portList->geometry(), du.Rect(7, 51, 248, 134));
        QCOMPARE(dialog.okButton->geometry(), du.Rect(157, 189, 50, 14));
        QVERIFY(dialog.okButton->isDefault());
    }

    void eachOptionClickRebuildsTheList() {
        PortFixture f;
        MakeMachine(f);
        RecordingDialog dialog;
        dialog.roots = f.roots;
        dialog.show();

        QTest::mouseClick(dialog.presentOnlyBox, Qt::LeftButton);
        QVERIFY(!dialog.presentOnly);
        QCOMPARE(dialog.portList->count(), 3);
        QCOMPARE(dialog.portList->item(1)->text(),
                 QStringLiteral("  2 -  COM2:  Communications Port (COM2)"));

        QTest::mouseClick(dialog.physicalOnlyBox, Qt::LeftButton);
        QVERIFY(dialog.physicalOnly);
        QCOMPARE(Rows(dialog.portList),
                 QStringList({"  1 -  COM1:  Communications Port (COM1)",
                              "  2 -  COM2:  Communications Port (COM2)"}));

        QTest::mouseClick(dialog.presentOnlyBox, Qt::LeftButton);
        QCOMPARE(dialog.portList->count(), 1);
        QTest::mouseClick(dialog.physicalOnlyBox, Qt::LeftButton);
        QCOMPARE(dialog.portList->count(), 2);
        QVERIFY(dialog.presentOnlyBox->isEnabled() && dialog.physicalOnlyBox->isEnabled());
        QVERIFY(dialog.messages.isEmpty());
    }

    void okAcceptsTheSelectedEntryWithoutTheVirtualMark() {
        PortFixture f;
        MakeMachine(f);
        RecordingDialog dialog;
        dialog.roots = f.roots;
        dialog.show();

        // Nothing selected: the operator is told and can go on choosing.
        QTest::mouseClick(dialog.okButton, Qt::LeftButton);
        QCOMPARE(dialog.messages,
                 QStringList{QStringLiteral("You must select a serial port from the list.")});
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.selectedPort, -1);

        Select(dialog, 1);
        dialog.portList->setFocus();
        QTest::keyClick(dialog.portList, Qt::Key_Return);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.selectedPort, 7);
    }

    void cancelEscapeAndCloseGiveMinusOneWithoutAMessage() {
        PortFixture f;
        MakeMachine(f);
        for (int way = 0; way < 3; ++way) {
            RecordingDialog dialog;
            dialog.roots = f.roots;
            dialog.show();
            Select(dialog, 0);
            dialog.selectedPort = 1;  // as if a stale value were there
            if (way == 0) QTest::mouseClick(dialog.cancelButton, Qt::LeftButton);
            if (way == 1) QTest::keyClick(&dialog, Qt::Key_Escape);
            if (way == 2) dialog.close();
            QVERIFY(!dialog.isVisible());
            QCOMPARE(dialog.result(), int(QDialog::Rejected));
            QCOMPARE(dialog.selectedPort, -1);
            QVERIFY(dialog.messages.isEmpty());
        }
    }

    void okOnAnEmptyListReportsTheMissingPortsAndCancels() {
        PortFixture f;
        f.AddPlainTty("tty0");
        RecordingDialog dialog;
        dialog.roots = f.roots;
        dialog.show();
        QCOMPARE(dialog.portList->count(), 0);
        QTest::mouseClick(dialog.okButton, Qt::LeftButton);
        QCOMPARE(dialog.messages,
                 QStringList{QStringLiteral("ERROR:\r\nA serial port has not been selected.\r\n\r\n"
                                            "Your machne does not have any serial ports!")});
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(dialog.selectedPort, -1);
    }

    void doubleClickAcceptsOnlyWithASelection() {
        PortFixture f;
        MakeMachine(f);
        RecordingDialog dialog;
        dialog.roots = f.roots;
        dialog.show();
        QWidget* viewport = dialog.portList->viewport();

        // Empty space below the entries, nothing selected: nothing happens.
        QPoint below(5, viewport->height() - 3);
        QVERIFY(!dialog.portList->itemAt(below));
        QTest::mouseDClick(viewport, Qt::LeftButton, {}, below);
        QVERIFY(dialog.isVisible());
        QVERIFY(dialog.messages.isEmpty());

        const QRect first = dialog.portList->visualItemRect(dialog.portList->item(0));
        QTest::mouseClick(viewport, Qt::LeftButton, {}, first.center());
        QTest::mouseDClick(viewport, Qt::LeftButton, {}, first.center());
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.selectedPort, 1);
    }

    void acceptingAnUnnumberedAdapterGivesItANumber() {
        PortFixture f;
        f.AddTty("ttyS0", "serial8250", 4);
        f.AddTty("ttyS1", "serial8250", 4);
        f.AddTty("ttyACM0", "cdc_acm", std::nullopt, "Radio Modem");
        f.AddById("usb-Radio_Modem_42-if00", "ttyACM0");
        RecordingDialog dialog;
        dialog.roots = f.roots;
        dialog.show();
        QCOMPARE(dialog.portList->item(0)->text(),
                 QStringLiteral("  1 -      :  Radio Modem on ttyACM0"));
        QCOMPARE(dialog.portList->item(0)->data(Qt::UserRole).toInt(), -1);

        // Unplugged after listing: the dialog says so and stays open.
        std::filesystem::rename(f.Dev("ttyACM0"), f.Dev("away"));
        Select(dialog, 0);
        dialog.OnOK();
        QCOMPARE(dialog.messages.size(), 1);
        QVERIFY(dialog.messages[0].startsWith(CDlgPortSelection::kNoNumberText));
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.selectedPort, -1);

        std::filesystem::rename(f.Dev("away"), f.Dev("ttyACM0"));
        dialog.OnOK();
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.selectedPort, 3);
        QCOMPARE(QString::fromStdString(f.LinkTarget("COM3")),
                 QString::fromStdString(f.Dev("serial/by-id/usb-Radio_Modem_42-if00")));
    }

    void askForPortRunsModallyAndReturnsTheChoice() {
        PortFixture f;
        MakeMachine(f);
        QTimer::singleShot(0, [] {
            auto* dialog = qobject_cast<CDlgPortSelection*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            QVERIFY(dialog->presentOnlyBox->isChecked() && !dialog->physicalOnlyBox->isChecked());
            dialog->portList->setCurrentRow(0);
            dialog->okButton->click();
        });
        QCOMPARE(CDlgPortSelection::AskForPort(nullptr, f.roots), 1);

        QTimer::singleShot(0, [] {
            auto* dialog = qobject_cast<CDlgPortSelection*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->cancelButton->click();
        });
        QCOMPARE(CDlgPortSelection::AskForPort(nullptr, f.roots), -1);
    }
};

QTEST_MAIN(PortDialogTest)
#include "PortDialogTest.moc"
