// The application shell: menus and accelerators, the toolbar and status
// bar, looks that persist, the Edit menu, empty documents, recent files,
// the About box and the window list.
#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>
#include <QtTest>

#include "ConsoleTestSupport.h"
#include "console/AboutDlg.h"
#include "console/ChildFrame.h"
#include "console/ConsoleCommands.h"
#include "console/Looks.h"
#include "console/MainFrame.h"
#include "console/RichEditScopeView.h"
#include "console/WindowsDlg.h"

using consoletest::TempHome;

namespace {

QStringList Texts(const QMenu* menu) {
    QStringList out;
    for (QAction* action : menu->actions()) {
        if (!action->isVisible()) continue;
        out << (action->isSeparator() ? QStringLiteral("-") : action->text());
    }
    return out;
}

QStringList TopMenus(const QMainWindow& frame) {
    QStringList out;
    for (QAction* action : frame.menuBar()->actions())
        if (action->isVisible()) out << action->text();
    return out;
}

}  // namespace

class ShellTest : public QObject {
    Q_OBJECT
private slots:
    void init() { bridge::Install(); }

    void menusFollowWhetherADocumentIsOpen() {
        TempHome home;
        CMainFrame frame;
        QCOMPARE(frame.windowTitle(), QStringLiteral("Kestova"));
        QCOMPARE(frame.CurrentMenuId(), 128);
        QCOMPARE(TopMenus(frame), QStringList({"&File", "&View", "&Help"}));
        auto* file128 = frame.findChild<QMenu*>(QStringLiteral("fileMenu128"));
        QCOMPARE(Texts(file128), QStringList({"&New\tCtrl+N", "&Open...\tCtrl+O", "&Close", "-",
                                              "Recent File", "-", "E&xit"}));

        frame.CreateDocumentWindow(QString());
        QCOMPARE(frame.CurrentMenuId(), 130);
        QCOMPARE(TopMenus(frame), QStringList({"&File", "Commands", "&View", "&Help"}));
        auto* file130 = frame.findChild<QMenu*>(QStringLiteral("fileMenu130"));
        QCOMPARE(Texts(file130),
                 QStringList({"&New\tCtrl+N", "&Open...\tCtrl+O", "&Close", "&Save\tCtrl+S", "Save &As...",
                              "-", "Recent File", "-", "E&xit", "List Callers"}));
        QCOMPARE(Texts(frame.findChild<QMenu*>(QStringLiteral("commandsMenu"))),
                 QStringList({"Send &Echo Command", "Select Radio &Port..."}));
        QCOMPARE(Texts(frame.findChild<QMenu*>(QStringLiteral("viewMenu"))),
                 QStringList({"&Toolbars and Docking Windows", "&Status Bar", "S&ites", "T&rains", "A&larms",
                              "&Mute Alarm Sound", "Re&fresh", "&Application Look"}));
        QCOMPARE(Texts(frame.findChild<QMenu*>(QStringLiteral("helpMenu"))), QStringList({"&About Kestova..."}));
        QCOMPARE(Texts(frame.findChild<QMenu*>(QStringLiteral("applicationLookMenu"))),
                 QStringList({"Windows &2000", "Office &XP", "&Windows XP", "Office 200&3",
                              "Visual Studio 200&5", "Visual Studio 200&8", "Office 200&7"}));

        QCOMPARE(frame.Action(cmd::FileNew)->shortcut(), QKeySequence(QStringLiteral("Ctrl+N")));
        QCOMPARE(frame.Action(cmd::FileOpen)->shortcut(), QKeySequence(QStringLiteral("Ctrl+O")));
        QCOMPARE(frame.Action(cmd::FileSave)->shortcut(), QKeySequence(QStringLiteral("Ctrl+S")));
        QCOMPARE(frame.Action(cmd::NextPane)->shortcut(), QKeySequence(Qt::Key_F6));

        // Closing the last document brings menu 128 back.
        frame.MdiArea()->closeAllSubWindows();
        QTRY_COMPARE(frame.CurrentMenuId(), 128);
        QTRY_COMPARE(frame.windowTitle(), QStringLiteral("Kestova"));
    }

    void toolbarStatusBarAndTabs() {
        TempHome home;
        CMainFrame frame;
        frame.show();
        QToolBar* bar = frame.StandardToolBar();
        QCOMPARE(bar->windowTitle(), QStringLiteral("Standard"));
        QStringList buttons;
        for (QAction* a : bar->actions()) buttons << (a->isSeparator() ? QStringLiteral("-") : a->iconText());
        QCOMPARE(buttons, QStringList({"New", "Open", "Save", "-", "Cut", "Copy", "Paste", "-", "Print", "About"}));
        QVERIFY(!frame.Action(cmd::EditCut)->isEnabled());
        QVERIFY(!frame.Action(cmd::FilePrint)->isEnabled());
        QVERIFY(frame.Action(cmd::ViewCustomize) != nullptr);
        QCOMPARE(frame.Action(cmd::ViewCustomize)->text(), QStringLiteral("Customize..."));
        QCOMPARE(frame.Action(cmd::WindowManager)->text(), QStringLiteral("&Windows..."));

        QCOMPARE(frame.MessagePane()->text(), QStringLiteral("Ready"));
        QVERIFY(frame.statusBar()->findChild<QLabel*>(QStringLiteral("capsIndicator")) != nullptr);
        QVERIFY(frame.statusBar()->findChild<QLabel*>(QStringLiteral("numIndicator")) != nullptr);
        QVERIFY(frame.statusBar()->findChild<QLabel*>(QStringLiteral("scrollIndicator")) != nullptr);
        frame.Action(cmd::ViewStatusBar)->trigger();
        QVERIFY(!frame.statusBar()->isVisible());
        frame.Action(cmd::ViewStatusBar)->trigger();
        QVERIFY(frame.statusBar()->isVisible());

        QCOMPARE(frame.MdiArea()->viewMode(), QMdiArea::TabbedView);
        QVERIFY(frame.MdiArea()->tabsClosable() && frame.MdiArea()->tabsMovable());
        frame.CreateDocumentWindow(QString());
        frame.CreateDocumentWindow(QString());
        QVERIFY(frame.DocumentMenuButton()->isVisible());
        emit frame.DocumentMenu()->aboutToShow();
        const QStringList entries = Texts(frame.DocumentMenu());
        QCOMPARE(entries.size(), 4);
        QCOMPARE(entries.last(), QStringLiteral("&Windows..."));
    }

    void theLookIsRememberedForTheNextStart() {
        TempHome home;
        {
            CMainFrame frame;
            QCOMPARE(CurrentLook(), looks::kVisualStudio2008);
            QVERIFY(frame.Action(looks::kVisualStudio2008)->isChecked());
            frame.Action(looks::kOffice2003)->trigger();
            QVERIFY(frame.Action(looks::kOffice2003)->isChecked());
            QVERIFY(!frame.Action(looks::kVisualStudio2008)->isChecked());
        }
        QSettings settings(QStringLiteral("Local AppWizard-Generated Applications"), QStringLiteral("Kestova"));
        QCOMPARE(settings.value(QStringLiteral("ApplicationLook")).toInt(), looks::kOffice2003);
        CMainFrame again;
        QCOMPARE(CurrentLook(), looks::kOffice2003);
        QVERIFY(again.Action(looks::kOffice2003)->isChecked());
        again.Action(looks::kVisualStudio2008)->trigger();
    }

    void theEditMenuKeepsItsThreeItemsAndActsOnAPane() {
        QWidget parent;
        QMenu* menu = console::CreateEditContextMenu(&parent);
        QCOMPARE(menu->title(), QStringLiteral("Edit"));
        QCOMPARE(Texts(menu), QStringList({"Cu&t\tCtrl+X", "&Copy\tCtrl+C", "&Paste\tCtrl+V"}));
        for (QAction* action : menu->actions()) QVERIFY(!action->isEnabled());

        // On a pane: Copy takes the selection; Cut and Paste stay greyed.
        CRichEditScopeView pane(&parent);
        pane.AppendColoured(COLOUR_PURPLE, "text\n");
        pane.selectAll();
        QMenu* full = console::CreateEditContextMenu(&parent, &pane);
        QCOMPARE(Texts(full), QStringList({"Cu&t\tCtrl+X", "&Copy\tCtrl+C", "&Paste\tCtrl+V", "-",
                                           "Select &All\tCtrl+A", "&Find...\tCtrl+F", "P&ause\tPause", "C&lear"}));
        QCOMPARE(full->actions()[1]->isEnabled(), true);
        QVERIFY(!full->actions()[0]->isEnabled() && !full->actions()[2]->isEnabled());
        full->actions()[6]->trigger();
        QVERIFY(pane.Paused());
        full->actions()[7]->trigger();
        QCOMPARE(consoletest::PaneText(&pane), QString());
    }

    void emptyDocumentsSaveAndOpenAndTheRecentListKeepsFour() {
        TempHome home;
        CMainFrame frame;
        frame.CreateDocumentWindow(QString());
        const QString saved = home.Path(QStringLiteral("doc.kes"));
        home.WriteFile(QStringLiteral("doc.kes"), "old content");
        QVERIFY(frame.SaveActiveDocumentAs(saved));
        QCOMPARE(QFileInfo(saved).size(), qint64(0));

        home.WriteFile(QStringLiteral("any.txt"), "not ours");
        CChildFrame* opened = frame.CreateDocumentWindow(home.Path(QStringLiteral("any.txt")));
        QVERIFY(opened != nullptr);
        QVERIFY(opened->MainView() != nullptr);  // no scope opened yet: the main view
        QCOMPARE(frame.CreateDocumentWindow(home.Path(QStringLiteral("missing.txt"))), nullptr);

        for (const char* name : {"a", "b", "c", "d"}) {
            home.WriteFile(QString::fromLatin1(name), "");
            frame.CreateDocumentWindow(home.Path(QString::fromLatin1(name)));
        }
        QStringList expected;
        for (const char* name : {"d", "c", "b", "a"}) expected << home.Path(QString::fromLatin1(name));
        QCOMPARE(frame.RecentFiles(), expected);
        QCOMPARE(frame.Action(cmd::FileMru1)->text(), QStringLiteral("&1 ") + expected[0]);
        CMainFrame again;
        QCOMPARE(again.RecentFiles(), expected);
    }

    void aboutBoxAndWindowList() {
        TempHome home;
        CAboutDlg about;
        QCOMPARE(about.windowTitle(), QStringLiteral("About Kestova"));
        QCOMPARE(about.findChild<QLabel*>(QStringLiteral("versionText"))->text(),
                 QStringLiteral("Kestova, Version 1.0"));

        CMainFrame frame;
        frame.CreateDocumentWindow(QString());
        frame.CreateDocumentWindow(QString());
        CWindowsDlg windows(frame.MdiArea(), &frame);
        QCOMPARE(windows.List()->count(), 2);
        windows.List()->setCurrentRow(0);
        windows.OnActivate();
        QCOMPARE(frame.MdiArea()->activeSubWindow(), frame.MdiArea()->subWindowList(QMdiArea::CreationOrder)[0]);
        CWindowsDlg again(frame.MdiArea(), &frame);
        again.List()->selectAll();
        again.OnCloseWindows();
        QCOMPARE(again.List()->count(), 0);
        QTRY_COMPARE(frame.MdiArea()->subWindowList().size(), 0);
    }
};

QTEST_MAIN(ShellTest)
#include "ShellTest.moc"
