#include "console/Looks.h"

#include <QApplication>
#include <QColor>
#include <QMainWindow>
#include <QSettings>
#include <QStyle>
#include <QStyleFactory>
#include <QWidget>

namespace {

const char* const kOrganisation = "Local AppWizard-Generated Applications";
const char* const kApplication = "Kestova";
const char* const kLookKey = "ApplicationLook";

// Colours of one look. Bars run as a vertical gradient from top to bottom.
struct LookDef {
    int id;
    const char* menuText;
    const char* style;  // QStyleFactory key
    bool setsDocking;
    const char* window;
    const char* windowText;
    const char* button;
    const char* base;
    const char* highlight;
    const char* highlightedText;
    const char* barTop;      // menu bar, tool bar
    const char* barBottom;
    const char* barText;
    const char* barBorder;
    const char* tab;         // document tabs
    const char* tabSelected;
    const char* accent;      // hot item frame, selected tab's edge
    const char* workspace;   // empty area behind the document windows
    int radius;              // corner rounding of tabs and hot items
};

// clang-format off
const LookDef kLooks[] = {
    // Windows 2000: flat battleship grey, navy selection, square corners.
    {looks::kWindows2000, "Windows &2000", "Windows", false,
     "#d4d0c8", "#000000", "#d4d0c8", "#ffffff", "#0a246a", "#ffffff",
     "#d4d0c8", "#d4d0c8", "#000000", "#808080", "#d4d0c8", "#d4d0c8", "#0a246a", "#808080", 0},
    // Office XP: off-white bars, pale blue hot items framed in blue.
    {looks::kOfficeXP, "Office &XP", "Windows", false,
     "#efede5", "#000000", "#efede5", "#ffffff", "#c1d2ee", "#000000",
     "#f9f8f3", "#e5e2d8", "#000000", "#a7a6aa", "#e5e2d8", "#ffffff", "#316ac5", "#8e8e8e", 0},
    // Windows XP: Luna beige with blue selection and orange-edged tabs.
    {looks::kWindowsXP, "&Windows XP", "Fusion", false,
     "#ece9d8", "#000000", "#ece9d8", "#ffffff", "#316ac5", "#ffffff",
     "#fefefb", "#e3e1d4", "#000000", "#aca899", "#f4f3ee", "#ffffff", "#ffc83c", "#6f87b7", 3},
    // Office 2003: bright blue gradient bars and amber hot items.
    {looks::kOffice2003, "Office 200&3", "Fusion", true,
     "#c4daf9", "#000000", "#d8e7fc", "#ffffff", "#ffd58c", "#000000",
     "#e3efff", "#7fa8e6", "#000000", "#3b619c", "#c4daf9", "#ffffff", "#000080", "#6592d6", 3},
    // Visual Studio 2005: warm grey-beige bars, pale blue selection.
    {looks::kVisualStudio2005, "Visual Studio 200&5", "Fusion", true,
     "#f5f4ee", "#000000", "#ece9d8", "#ffffff", "#c1d2ee", "#000000",
     "#fafaf8", "#d8d5c4", "#000000", "#a5a28e", "#ece9d8", "#ffffff", "#316ac5", "#9d9d92", 2},
    // Visual Studio 2008: cool blue-grey bars, bright blue selection.
    {looks::kVisualStudio2008, "Visual Studio 200&8", "Fusion", true,
     "#e9ecee", "#000000", "#e9ecee", "#ffffff", "#3399ff", "#ffffff",
     "#fafbfd", "#c4cbdb", "#000000", "#8e9bbc", "#d6dce8", "#ffffff", "#3399ff", "#abb4c6", 2},
    // Office 2007, blue: light sky blue with golden hot items.
    {looks::kOffice2007Blue, "&Blue Style", "Fusion", true,
     "#bfdbff", "#15428b", "#d7e6f9", "#ffffff", "#ffe38c", "#000000",
     "#e3efff", "#afd2ff", "#15428b", "#6593cf", "#c8ddf9", "#ffffff", "#ffbd69", "#abc8ef", 4},
    // Office 2007, black: charcoal bars with white text, amber hot items.
    {looks::kOffice2007Black, "B&lack Style", "Fusion", true,
     "#535353", "#ffffff", "#6a6a6a", "#ffffff", "#ffc86b", "#000000",
     "#7d7d7d", "#363636", "#ffffff", "#1e1e1e", "#595959", "#d9d9d9", "#ffbd69", "#2b2b2b", 4},
    // Office 2007, silver: cool silver bars, golden hot items.
    {looks::kOffice2007Silver, "&Silver Style", "Fusion", true,
     "#d0d4dd", "#4c535c", "#e3e6ec", "#ffffff", "#ffe38c", "#000000",
     "#f2f3f6", "#c5cad6", "#4c535c", "#9199a4", "#dde0e7", "#ffffff", "#ffbd69", "#b5bbc7", 4},
    // Office 2007, aqua: grey-teal bars, soft blue hot items.
    {looks::kOffice2007Aqua, "&Aqua Style", "Fusion", true,
     "#c3d3e2", "#1f3c5c", "#d9e4ee", "#ffffff", "#9bc3eb", "#000000",
     "#e5edf4", "#a4bbd0", "#1f3c5c", "#7390ad", "#cddbe8", "#ffffff", "#5b8fc4", "#9fb5ca", 4},
    // Windows 7: near-white bars fading to pale blue, glassy blue tabs.
    {looks::kWindows7, "", "Fusion", true,
     "#f0f0f0", "#000000", "#f0f0f0", "#ffffff", "#3399ff", "#ffffff",
     "#fdfeff", "#dae5f3", "#000000", "#a0afc3", "#e3ecf7", "#ffffff", "#7eb4ea", "#b9d1ea", 5},
};
// clang-format on

int currentLook = 0;
// The Office 2007 style an unknown look value shows in.
int office2007Style = looks::kOffice2007Blue;

const LookDef* Find(int id) {
    for (const LookDef& def : kLooks)
        if (def.id == id) return &def;
    return nullptr;
}

// The definition a value is drawn with: its own, else Office 2007 in the
// last style chosen.
const LookDef& Resolve(int id) {
    if (const LookDef* def = Find(id)) return *def;
    return *Find(office2007Style);
}

QSettings Settings() { return QSettings(QString::fromLatin1(kOrganisation), QString::fromLatin1(kApplication)); }

}  // namespace

const std::vector<int>& LookIds() {
    static const std::vector<int> ids = [] {
        std::vector<int> v;
        for (const LookDef& def : kLooks) v.push_back(def.id);
        return v;
    }();
    return ids;
}

QString LookMenuText(int commandId) {
    const LookDef* def = Find(commandId);
    return def ? QString::fromLatin1(def->menuText) : QString();
}

QString LookSubmenuText(int commandId) {
    if (commandId >= looks::kOffice2007Blue && commandId <= looks::kOffice2007Aqua)
        return QStringLiteral("Office 200&7");
    return QString();
}

int DefaultLook() { return looks::kVisualStudio2008; }

bool LookSetsDockingMode(int commandId) { return Resolve(commandId).setsDocking; }

int CurrentLook() { return currentLook; }

int StoredLook() {
    QSettings settings = Settings();
    bool ok = false;
    int value = settings.value(QString::fromLatin1(kLookKey), DefaultLook()).toInt(&ok);
    return ok ? value : DefaultLook();
}

QString LookStyleName(int commandId) { return QString::fromLatin1(Resolve(commandId).style); }

QPalette LookPalette(int commandId) {
    const LookDef& d = Resolve(commandId);
    QPalette p;
    const QColor window(QString::fromLatin1(d.window));
    const QColor windowText(QString::fromLatin1(d.windowText));
    const QColor button(QString::fromLatin1(d.button));
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, windowText);
    p.setColor(QPalette::Button, button);
    p.setColor(QPalette::ButtonText, windowText);
    p.setColor(QPalette::Base, QColor(QString::fromLatin1(d.base)));
    p.setColor(QPalette::AlternateBase, button.lighter(110));
    p.setColor(QPalette::Text, Qt::black);
    p.setColor(QPalette::ToolTipBase, QColor(0xff, 0xff, 0xe1));
    p.setColor(QPalette::ToolTipText, Qt::black);
    p.setColor(QPalette::Highlight, QColor(QString::fromLatin1(d.highlight)));
    p.setColor(QPalette::HighlightedText, QColor(QString::fromLatin1(d.highlightedText)));
    p.setColor(QPalette::Light, button.lighter(150));
    p.setColor(QPalette::Midlight, button.lighter(115));
    p.setColor(QPalette::Mid, button.darker(130));
    p.setColor(QPalette::Dark, button.darker(160));
    p.setColor(QPalette::Shadow, Qt::black);
    p.setColor(QPalette::Link, QColor(0x00, 0x00, 0xee));
    const QColor disabled = window.lightness() < 128 ? QColor(0xa0, 0xa0, 0xa0) : QColor(0x80, 0x80, 0x80);
    p.setColor(QPalette::Disabled, QPalette::WindowText, disabled);
    p.setColor(QPalette::Disabled, QPalette::ButtonText, disabled);
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x80));
    return p;
}

QString LookStyleSheet(int commandId) {
    const LookDef& d = Resolve(commandId);
    // Only the frame's bars, menus and tabs are styled; panes and dialogs
    // keep the palette, so the log colours stay as they are.
    QString sheet = QStringLiteral(
        "QMenuBar { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 %1, stop:1 %2);"
        " color: %3; border-bottom: 1px solid %4; }"
        "QMenuBar::item { background: transparent; padding: 3px 8px; }"
        "QMenuBar::item:selected { background: %5; color: %6; border: 1px solid %7;"
        " border-radius: %8px; }"
        "QToolBar { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 %1, stop:1 %2);"
        " border: 1px solid %4; border-radius: %8px; spacing: 2px; }"
        "QToolBar QToolButton { color: %3; border: 1px solid transparent; border-radius: %8px;"
        " padding: 2px; }"
        "QToolBar QToolButton:hover { background: %5; color: %6; border: 1px solid %7; }"
        "QStatusBar { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 %1, stop:1 %2);"
        " color: %3; border-top: 1px solid %4; }"
        "QStatusBar QLabel { color: %3; }"
        "QTabBar::tab { background: %9; color: %3; border: 1px solid %4; padding: 3px 12px;"
        " border-top-left-radius: %8px; border-top-right-radius: %8px; margin-right: 1px; }"
        "QTabBar::tab:selected { background: %10; color: #000000; border-top: 2px solid %7; }"
        "QMdiArea { background: %11; }");
    return sheet.arg(QString::fromLatin1(d.barTop), QString::fromLatin1(d.barBottom),
                     QString::fromLatin1(d.barText), QString::fromLatin1(d.barBorder),
                     QString::fromLatin1(d.highlight), QString::fromLatin1(d.highlightedText),
                     QString::fromLatin1(d.accent), QString::number(d.radius),
                     QString::fromLatin1(d.tab))
        .arg(QString::fromLatin1(d.tabSelected), QString::fromLatin1(d.workspace));
}

void ApplyLook(int commandId, QMainWindow* frame) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    currentLook = commandId;
    if (commandId >= looks::kOffice2007Blue && commandId <= looks::kOffice2007Aqua)
        office2007Style = commandId;

    if (QStyle* style = QStyleFactory::create(LookStyleName(commandId))) QApplication::setStyle(style);
    QApplication::setPalette(LookPalette(commandId));
    qApp->setStyleSheet(LookStyleSheet(commandId));

    if (frame && LookSetsDockingMode(commandId))
        frame->setDockOptions(QMainWindow::AnimatedDocks | QMainWindow::AllowNestedDocks |
                              QMainWindow::AllowTabbedDocks);

    for (QWidget* widget : QApplication::topLevelWidgets()) {
        widget->update();
        for (QWidget* child : widget->findChildren<QWidget*>()) child->update();
    }

    QSettings settings = Settings();
    settings.setValue(QString::fromLatin1(kLookKey), commandId);
    settings.sync();
    QApplication::restoreOverrideCursor();
}

void ApplyStoredLook(QMainWindow* frame) { ApplyLook(StoredLook(), frame); }
