// The toolbar customisation dialog: adding, removing and moving buttons and
// separators on a live toolbar, text labels, and keeping the result.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QToolBar>
#include <QtTest>

#include "console/DlgCustomize.h"

namespace {

// The "Standard" toolbar's commands, named as the frame names them.
struct Commands {
    Commands() {
        for (const char* text : {"&New\tCtrl+N", "&Open...\tCtrl+O", "&Save\tCtrl+S", "Cu&t",
                                 "&Copy", "&Paste", "&Print...", "&About Kestova..."}) {
            auto* action = new QAction(QString::fromLatin1(text), &owner);
            action->setObjectName(QString::fromLatin1(text).section('\t', 0, 0).remove('&'));
            list << action;
        }
    }
    QObject owner;
    QList<QAction*> list;
};

}  // namespace

class CustomizeTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY(settingsDir_.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir_.path());
    }

    void editsShowOnTheToolbarAtOnce() {
        Commands c;
        QToolBar bar(QStringLiteral("Standard"));
        bar.setObjectName(QStringLiteral("Standard"));
        SetToolbarButtons(&bar, {"New", "Open...", "-", "Copy"}, c.list);
        CDlgCustomize dialog(&bar, c.list);
        QCOMPARE(dialog.buttonList->count(), 4);
        QCOMPARE(dialog.buttonList->item(0)->text(), QStringLiteral("New"));

        // A command already on the toolbar cannot be added twice.
        dialog.commandList->setCurrentRow(1);
        QVERIFY(!dialog.addButton->isEnabled());

        // Paste behind the selected "Open...".
        dialog.buttonList->setCurrentRow(1);
        dialog.commandList->setCurrentRow(6);
        QVERIFY(dialog.addButton->isEnabled());
        dialog.addButton->click();
        QCOMPARE(ToolbarButtonNames(&bar), QStringList({"New", "Open...", "Paste", "-", "Copy"}));
        QCOMPARE(dialog.buttonList->currentRow(), 2);

        // A separator at the end when no button is selected.
        dialog.buttonList->setCurrentRow(-1);
        dialog.commandList->setCurrentRow(0);
        dialog.addButton->click();
        QCOMPARE(ToolbarButtonNames(&bar), QStringList({"New", "Open...", "Paste", "-", "Copy", "-"}));

        // Moving a separator and removing buttons.
        dialog.buttonList->setCurrentRow(3);
        dialog.upButton->click();
        QCOMPARE(ToolbarButtonNames(&bar), QStringList({"New", "Open...", "-", "Paste", "Copy", "-"}));
        dialog.downButton->click();
        dialog.downButton->click();
        QCOMPARE(ToolbarButtonNames(&bar), QStringList({"New", "Open...", "Paste", "Copy", "-", "-"}));
        dialog.buttonList->setCurrentRow(5);
        QVERIFY(!dialog.downButton->isEnabled());
        dialog.removeButton->click();
        dialog.buttonList->setCurrentRow(0);
        QVERIFY(!dialog.upButton->isEnabled());
        dialog.removeButton->click();
        QCOMPARE(ToolbarButtonNames(&bar), QStringList({"Open...", "Paste", "Copy", "-"}));
        QCOMPARE(dialog.buttonList->count(), 4);
        // The removed command stays usable and can come back.
        dialog.commandList->setCurrentRow(1);
        QVERIFY(dialog.addButton->isEnabled());
    }

    void textLabelsAndTheKeptLayoutSurviveARebuild() {
        Commands c;
        QToolBar bar(QStringLiteral("Standard"));
        bar.setObjectName(QStringLiteral("Standard"));
        QVERIFY(!RestoreToolbarCustomisation(&bar, c.list));
        SetToolbarButtons(&bar, {"New", "Open...", "Save", "-", "Cut", "Copy", "Paste", "-", "Print...",
                                 "About Kestova..."},
                          c.list);
        bar.setToolButtonStyle(Qt::ToolButtonIconOnly);
        {
            CDlgCustomize dialog(&bar, c.list);
            QVERIFY(!dialog.textLabelsBox->isChecked());
            dialog.textLabelsBox->click();
            QCOMPARE(bar.toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
            dialog.buttonList->setCurrentRow(3);
            dialog.removeButton->click();
        }
        SaveToolbarCustomisation(&bar);

        Commands fresh;
        QToolBar again(QStringLiteral("Standard"));
        again.setObjectName(QStringLiteral("Standard"));
        again.addAction(fresh.list[0]);
        QVERIFY(RestoreToolbarCustomisation(&again, fresh.list));
        QCOMPARE(ToolbarButtonNames(&again), QStringList({"New", "Open...", "Save", "Cut", "Copy", "Paste",
                                                          "-", "Print...", "About Kestova..."}));
        QCOMPARE(again.actions()[2], fresh.list[2]);
        QCOMPARE(again.toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
    }

private:
    QTemporaryDir settingsDir_;
};

QTEST_MAIN(CustomizeTest)
#include "CustomizeTest.moc"
