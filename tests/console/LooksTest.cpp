// The application looks: their menu, their distinct styles, and the stored
// "ApplicationLook" that brings the look back at the next start.
#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QStyle>
#include <QStatusBar>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QToolBar>
#include <QtTest>
#include <cmath>
#include <cstdio>

#include "common/Colours.h"
#include "console/Looks.h"
#include "console/RichEditScopeView.h"

namespace {

QSettings Stored() {
    return QSettings(QStringLiteral("Local AppWizard-Generated Applications"),
                     QStringLiteral("Kestova"));
}

// The contrast ratio of two colours, 1 (none) to 21 (black on white), from
// their relative luminance.
double Contrast(const QColor& a, const QColor& b) {
    const auto luminance = [](const QColor& c) {
        const auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

}  // namespace

class LooksTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY(settingsDir_.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir_.path());
    }
    void init() { Stored().clear(); }

    void menuTextsAndSubmenu() {
        const std::vector<int> ids{205, 206, 207, 208, 209, 210, 215, 216, 217, 218, 219};
        QCOMPARE(LookIds(), ids);
        const QStringList texts{"Windows &2000", "Office &XP", "&Windows XP", "Office 200&3",
                                "Visual Studio 200&5", "Visual Studio 200&8", "&Blue Style",
                                "B&lack Style", "&Silver Style", "&Aqua Style", ""};
        for (std::size_t i = 0; i < ids.size(); ++i) QCOMPARE(LookMenuText(ids[i]), texts[int(i)]);
        QCOMPARE(LookMenuText(300), QString());
        for (int id : {215, 216, 217, 218}) QCOMPARE(LookSubmenuText(id), QStringLiteral("Office 200&7"));
        for (int id : {205, 210, 219}) QVERIFY(LookSubmenuText(id).isEmpty());
        QCOMPARE(DefaultLook(), 210);
    }

    void everyLookIsDistinctAndItsStyleExists() {
        const QStringList keys = QStyleFactory::keys();
        QSet<QString> seen;
        for (int id : LookIds()) {
            bool found = false;
            for (const QString& key : keys) found |= key.compare(LookStyleName(id), Qt::CaseInsensitive) == 0;
            QVERIFY2(found, qPrintable(LookStyleName(id)));
            const QPalette p = LookPalette(id);
            const QString signature = p.color(QPalette::Window).name() +
                                      p.color(QPalette::Highlight).name() + LookStyleSheet(id);
            QVERIFY2(!seen.contains(signature), qPrintable(QString::number(id)));
            seen.insert(signature);
        }
    }

    // Every look is applied to a live frame without a style sheet the
    // application cannot read, and keeps every text readable: the panes'
    // coloured lines on their base (a look may tint it, never darken it),
    // labels on dialogs, button captions and selected items.
    void everyLookAppliesCleanlyAndStaysReadable() {
        QTest::failOnWarning(QRegularExpression(QStringLiteral("style ?sheet"),
                                                QRegularExpression::CaseInsensitiveOption));
        QMainWindow frame;
        frame.menuBar()->addMenu(QStringLiteral("&File"))->addAction(QStringLiteral("&New"));
        frame.addToolBar(QStringLiteral("Standard"))->addAction(QStringLiteral("New"));
        frame.statusBar()->showMessage(QStringLiteral("Ready"));
        auto* pane = new QPlainTextEdit;
        pane->setPlainText(QString(200, QLatin1Char('\n')));
        frame.setCentralWidget(pane);
        new QPushButton(QStringLiteral("OK"), frame.statusBar());
        frame.resize(400, 300);
        frame.show();

        const Colour paneColours[] = {COLOUR_PURPLE, COLOUR_DARK_RED, COLOUR_DARK_BLUE, COLOUR_DARK_GREEN};
        for (int id : LookIds()) {
            ApplyLook(id, &frame);
            QVERIFY(!frame.grab().isNull());
            const QPalette p = LookPalette(id);
            const QString look = QString::number(id);
            QVERIFY2(p.color(QPalette::Base).lightness() >= 230, qPrintable(look));
            for (Colour colour : paneColours)
                QVERIFY2(Contrast(p.color(QPalette::Base), ToQColor(colour)) >= 6.0, qPrintable(look));
            QVERIFY2(Contrast(p.color(QPalette::Base), p.color(QPalette::Text)) >= 7.0, qPrintable(look));
            QVERIFY2(Contrast(p.color(QPalette::Window), p.color(QPalette::WindowText)) >= 4.5, qPrintable(look));
            QVERIFY2(Contrast(p.color(QPalette::Button), p.color(QPalette::ButtonText)) >= 4.5, qPrintable(look));
            QVERIFY2(Contrast(p.color(QPalette::Highlight), p.color(QPalette::HighlightedText)) >= 3.0,
                     qPrintable(look));
        }
    }

    void defaultLookThenAChoiceSurvivesARestart() {
        QCOMPARE(StoredLook(), 210);
        QCOMPARE(RunFreshProcess(), QStringLiteral("210 %1").arg(LookPalette(210).color(QPalette::Window).name()));

        ApplyLook(208);
        QCOMPARE(CurrentLook(), 208);
        QCOMPARE(QApplication::palette().color(QPalette::Window),
                 LookPalette(208).color(QPalette::Window));
        QCOMPARE(qApp->styleSheet(), LookStyleSheet(208));

        // The next start comes up in the chosen look.
        QCOMPARE(RunFreshProcess(), QStringLiteral("208 %1").arg(LookPalette(208).color(QPalette::Window).name()));
    }

    void unknownValueShowsOffice2007InItsLastStyle() {
        ApplyLook(216);
        ApplyLook(300);
        QCOMPARE(CurrentLook(), 300);
        QCOMPARE(StoredLook(), 300);
        QCOMPARE(QApplication::palette().color(QPalette::Window),
                 LookPalette(216).color(QPalette::Window));
        // Text that is no number reads as the default.
        Stored().setValue("ApplicationLook", "blue");
        QCOMPARE(StoredLook(), 210);
    }

    void dockingModeOnlyForTheLooksThatSetIt() {
        QMainWindow frame;
        frame.setDockOptions(QMainWindow::AnimatedDocks);
        ApplyLook(205, &frame);
        ApplyLook(206, &frame);
        ApplyLook(207, &frame);
        QCOMPARE(frame.dockOptions(), QMainWindow::DockOptions(QMainWindow::AnimatedDocks));
        ApplyLook(209, &frame);
        QVERIFY(frame.dockOptions().testFlag(QMainWindow::AllowTabbedDocks));
        QVERIFY(frame.dockOptions().testFlag(QMainWindow::AllowNestedDocks));
    }

private:
    // Starts this program again in its "start-up" mode against the same
    // settings and returns what it printed: the look and its window colour.
    QString RunFreshProcess() {
        QProcess process;
        process.start(QCoreApplication::applicationFilePath(),
                      {QStringLiteral("--apply-stored-look"), settingsDir_.path()});
        if (!process.waitForFinished(30000)) return QStringLiteral("timeout");
        return QString::fromLatin1(process.readAllStandardOutput()).trimmed();
    }

    QTemporaryDir settingsDir_;
};

int main(int argc, char** argv) {
    if (argc == 3 && qstrcmp(argv[1], "--apply-stored-look") == 0) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QApplication app(argc, argv);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QString::fromLocal8Bit(argv[2]));
        ApplyStoredLook();
        std::printf("%d %s\n", CurrentLook(),
                    qPrintable(QApplication::palette().color(QPalette::Window).name()));
        return 0;
    }
    QApplication app(argc, argv);
    LooksTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "LooksTest.moc"
