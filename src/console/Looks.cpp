#include "console/Looks.h"

#include <QApplication>
#include <QColor>
#include <QMainWindow>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleOptionMenuItem>
#include <QStyle>
#include <QStyleFactory>
#include <QWidget>
#include <utility>
#include <vector>

#include "console/UserSettings.h"

namespace {

const char* const kLookKey = "ApplicationLook";

// The colours of one look. A fill is "#rrggbb" for a flat colour, or
// several colours separated by blanks for a vertical gradient from top to
// bottom; a colour written "0.5@#rrggbb" sits at that point of the run
// (the glassy looks break their gradient in the middle).
struct LookDef {
    int id;
    const char* menuText;
    const char* style;  // QStyleFactory key
    bool setsDocking;
    bool nativeControls;  // buttons and frames drawn by the style alone
    // Dialogs and windows.
    const char* window;
    const char* windowText;
    const char* dialog;  // fill behind dialogs
    const char* base;    // panes and edit fields: white or a faint tint only
    const char* highlight;
    const char* highlightedText;
    const char* frame;  // edges of buttons, group boxes, edit fields, menus
    // Menu bar and menus.
    const char* menuBar;
    const char* menuBarText;
    const char* menuBarEdge;
    const char* popup;
    const char* popupText;
    // Tool bar.
    const char* toolBar;
    const char* toolBarText;
    const char* toolBarEdge;
    // Hot items: the menu title under the mouse, a tool button under the
    // mouse, a button under the mouse.
    const char* hot;
    const char* hotText;
    const char* hotEdge;
    // The row of document tabs.
    const char* tabRow;
    const char* tab;
    const char* tabText;
    const char* tabEdge;
    const char* tabSelected;
    const char* tabSelectedText;
    const char* tabAccent;  // the selected tab's top edge
    // Status bar.
    const char* statusBar;
    const char* statusText;
    const char* statusEdge;
    // Buttons; scroll bars and combo boxes take their colours from these
    // through the palette.
    const char* button;
    const char* buttonText;
    int radius;     // corner rounding of bars, hot items and buttons
    int tabRadius;  // corner rounding of the tabs' top corners
};

// clang-format off
const LookDef kLooks[] = {
    // Windows 2000: classic battleship grey with bevelled controls drawn by
    // the style, a dark grey workspace, navy menu selection and the navy
    // caption fade on the selected tab.
    {.id = looks::kWindows2000, .menuText = "Windows &2000", .style = "Windows", .setsDocking = false,
     .nativeControls = true,
     .window = "#d4d0c8", .windowText = "#000000", .dialog = "#d4d0c8", .base = "#ffffff",
     .highlight = "#0a246a", .highlightedText = "#ffffff", .frame = "#808080",
     .menuBar = "#d4d0c8", .menuBarText = "#000000", .menuBarEdge = "#808080",
     .popup = "#d4d0c8", .popupText = "#000000",
     .toolBar = "#d4d0c8", .toolBarText = "#000000", .toolBarEdge = "#808080",
     .hot = "#0a246a", .hotText = "#ffffff", .hotEdge = "#0a246a",
     .tabRow = "#808080", .tab = "#d4d0c8", .tabText = "#000000", .tabEdge = "#404040",
     .tabSelected = "#0a246a #3a6ea5 #a6caf0", .tabSelectedText = "#ffffff", .tabAccent = "#0a246a",
     .statusBar = "#d4d0c8", .statusText = "#000000", .statusEdge = "#808080",
     .button = "#d4d0c8", .buttonText = "#000000",
     .radius = 0, .tabRadius = 0},
    // Office XP: flat light grey-white bars, pale blue hot items framed in
    // dark blue, square corners everywhere.
    {.id = looks::kOfficeXP, .menuText = "Office &XP", .style = "Windows", .setsDocking = false,
     .nativeControls = false,
     .window = "#f4f3ef", .windowText = "#000000", .dialog = "#f4f3ef", .base = "#ffffff",
     .highlight = "#c1d2ee", .highlightedText = "#000000", .frame = "#8d8c86",
     .menuBar = "#f4f3ef", .menuBarText = "#000000", .menuBarEdge = "#d8d5cc",
     .popup = "#fcfcfb", .popupText = "#000000",
     .toolBar = "#fbfbf9", .toolBarText = "#000000", .toolBarEdge = "#c5c2b8",
     .hot = "#c1d2ee", .hotText = "#000000", .hotEdge = "#316ac5",
     .tabRow = "#d9d6cc", .tab = "#eeece6", .tabText = "#3c3c3c", .tabEdge = "#b2afa5",
     .tabSelected = "#ffffff", .tabSelectedText = "#000000", .tabAccent = "#316ac5",
     .statusBar = "#f4f3ef", .statusText = "#000000", .statusEdge = "#c5c2b8",
     .button = "#fbfbf9", .buttonText = "#000000",
     .radius = 0, .tabRadius = 0},
    // Windows XP: beige dialogs and bars under the blue caption gradient,
    // blue tab row, orange edge on the selected tab, green accent under the
    // menu bar, rounded buttons edged in blue.
    {.id = looks::kWindowsXP, .menuText = "&Windows XP", .style = "Fusion", .setsDocking = false,
     .nativeControls = false,
     .window = "#ece9d8", .windowText = "#000000", .dialog = "#ece9d8", .base = "#ffffff",
     .highlight = "#316ac5", .highlightedText = "#ffffff", .frame = "#7f9db9",
     .menuBar = "#fbfaf4 #ece9d8", .menuBarText = "#000000", .menuBarEdge = "#3c9b37",
     .popup = "#ffffff", .popupText = "#000000",
     .toolBar = "#fefefb #ece9d8 #d8d2bd", .toolBarText = "#000000", .toolBarEdge = "#aca899",
     .hot = "#316ac5", .hotText = "#ffffff", .hotEdge = "#1c4fa3",
     .tabRow = "#3d95ff 0.15@#0a66f0 0.85@#0050d8 #0041b8", .tab = "#fefefe #ece9d8", .tabText = "#000000",
     .tabEdge = "#003c74",
     .tabSelected = "#ffffff #f7f6f0", .tabSelectedText = "#000000", .tabAccent = "#f8b330",
     .statusBar = "#3a8bf4 #245edb 0.8@#1941a5 #1c3f94", .statusText = "#ffffff", .statusEdge = "#0f2a6b",
     .button = "#ffffff #f1efe2 #d6d0c5", .buttonText = "#000000",
     .radius = 3, .tabRadius = 3},
    // Office 2003: deep blue gradient bars and tab row, orange hot items
    // edged in navy, bright blue dialogs.
    {.id = looks::kOffice2003, .menuText = "Office 200&3", .style = "Fusion", .setsDocking = true,
     .nativeControls = false,
     .window = "#d6e5fa", .windowText = "#000000", .dialog = "#e3efff #c4daf9", .base = "#ffffff",
     .highlight = "#ffc36b", .highlightedText = "#000000", .frame = "#3b619c",
     .menuBar = "#e3efff #9ebef5", .menuBarText = "#000000", .menuBarEdge = "#6592d6",
     .popup = "#f6f6f6", .popupText = "#000000",
     .toolBar = "#e3efff 0.4@#c4daf9 #7ba2e7", .toolBarText = "#000000", .toolBarEdge = "#3b619c",
     .hot = "#fff1c5 #ffd58c #ffad55", .hotText = "#000000", .hotEdge = "#000080",
     .tabRow = "#7ba2e7 #3b619c", .tab = "#e3efff #a3c3f5", .tabText = "#000000", .tabEdge = "#002d96",
     .tabSelected = "#fffdf4 #ffe8a8", .tabSelectedText = "#000000", .tabAccent = "#ff8a00",
     .statusBar = "#c4daf9 #7ba2e7", .statusText = "#000000", .statusEdge = "#3b619c",
     .button = "#ffffff #c4daf9", .buttonText = "#000000",
     .radius = 3, .tabRadius = 3},
    // Visual Studio 2005: warm beige and khaki bars and tab row, pale blue
    // hot items, cream panes.
    {.id = looks::kVisualStudio2005, .menuText = "Visual Studio 200&5", .style = "Fusion", .setsDocking = true,
     .nativeControls = false,
     .window = "#f0eee2", .windowText = "#000000", .dialog = "#f5f4ec #e6e2cf", .base = "#fffef6",
     .highlight = "#c1d2ee", .highlightedText = "#000000", .frame = "#a5a28e",
     .menuBar = "#f7f5ea #e2dcc2", .menuBarText = "#000000", .menuBarEdge = "#b8b18f",
     .popup = "#fcfbf6", .popupText = "#000000",
     .toolBar = "#fcfcf7 0.5@#ebe7d3 #cdc6a4", .toolBarText = "#000000", .toolBarEdge = "#a5a28e",
     .hot = "#c1d2ee", .hotText = "#000000", .hotEdge = "#316ac5",
     .tabRow = "#cdc6a4 #b7ae86", .tab = "#f0eee2 #ddd8c2", .tabText = "#3a3626", .tabEdge = "#8f8a6e",
     .tabSelected = "#ffffff #fbfaf3", .tabSelectedText = "#000000", .tabAccent = "#e2a33a",
     .statusBar = "#e2dcc2 #c9c1a0", .statusText = "#000000", .statusEdge = "#a5a28e",
     .button = "#fdfdf9 #e4e0cc", .buttonText = "#000000",
     .radius = 2, .tabRadius = 3},
    // Visual Studio 2008: cool light blue-grey bars and tab row, bright blue
    // selection, white panes.
    {.id = looks::kVisualStudio2008, .menuText = "Visual Studio 200&8", .style = "Fusion", .setsDocking = true,
     .nativeControls = false,
     .window = "#eef0f5", .windowText = "#000000", .dialog = "#f5f7fa #dfe4ee", .base = "#ffffff",
     .highlight = "#2b7bd6", .highlightedText = "#ffffff", .frame = "#8e9bbc",
     .menuBar = "#f5f7fb #d6dbe9", .menuBarText = "#000000", .menuBarEdge = "#a4afc8",
     .popup = "#fafbfd", .popupText = "#000000",
     .toolBar = "#fafbfd 0.5@#e4e8f1 #c4cbdb", .toolBarText = "#000000", .toolBarEdge = "#8e9bbc",
     .hot = "#eaf2fe #c1d9f9", .hotText = "#000000", .hotEdge = "#3399ff",
     .tabRow = "#a2adc6 #7d8bab", .tab = "#eef1f6 #ccd3e0", .tabText = "#1e2a40", .tabEdge = "#6d7b9b",
     .tabSelected = "#ffffff #f2f5fa", .tabSelectedText = "#000000", .tabAccent = "#3399ff",
     .statusBar = "#dde2ec #c4cbdb", .statusText = "#1e2a40", .statusEdge = "#8e9bbc",
     .button = "#fafbfd #dde2ec", .buttonText = "#000000",
     .radius = 2, .tabRadius = 3},
    // Office 2007, blue: pale sky-blue ribbon gradients, golden hot items,
    // dark blue text, rounded corners.
    {.id = looks::kOffice2007Blue, .menuText = "&Blue Style", .style = "Fusion", .setsDocking = true,
     .nativeControls = false,
     .window = "#d7e6f9", .windowText = "#15428b", .dialog = "#e9f1fc #c9ddf6", .base = "#fbfdff",
     .highlight = "#ffe38c", .highlightedText = "#000000", .frame = "#8db2e3",
     .menuBar = "#d6e6fb #b5d1f4", .menuBarText = "#15428b", .menuBarEdge = "#8db2e3",
     .popup = "#fafafa", .popupText = "#000000",
     .toolBar = "#eaf2fd 0.5@#d3e3f8 0.51@#c2d9f5 #dbe8f9", .toolBarText = "#15428b",
     .toolBarEdge = "#6593cf",
     .hot = "#fffbe5 0.5@#ffe8a6 0.51@#ffd75a #ffe9a0", .hotText = "#000000", .hotEdge = "#dbb15b",
     .tabRow = "#bfdbff #a5c7f2", .tab = "#eaf2fd #c3d9f5", .tabText = "#15428b", .tabEdge = "#6593cf",
     .tabSelected = "#ffffff #fdf4d9", .tabSelectedText = "#000000", .tabAccent = "#ffb53f",
     .statusBar = "#dde9fb #a9c7ef", .statusText = "#15428b", .statusEdge = "#6593cf",
     .button = "#f7fbff 0.5@#e1ecfa 0.51@#cfe0f7 #e2edfb", .buttonText = "#15428b",
     .radius = 4, .tabRadius = 5},
    // Office 2007, black: charcoal menu bar, tool bar, tab row and status
    // bar with light text, dark dialogs, amber hot items; the panes stay
    // near-white so their coloured text reads as in every other look.
    {.id = looks::kOffice2007Black, .menuText = "B&lack Style", .style = "Fusion", .setsDocking = true,
     .nativeControls = false,
     .window = "#45484d", .windowText = "#f2f2f2", .dialog = "#55585d #3b3e42", .base = "#f6f6f6",
     .highlight = "#ffc86b", .highlightedText = "#000000", .frame = "#1e1e1e",
     .menuBar = "#3f3f3f #1c1c1c", .menuBarText = "#f2f2f2", .menuBarEdge = "#111111",
     .popup = "#f5f5f5", .popupText = "#000000",
     .toolBar = "#626262 0.5@#434343 0.51@#333333 #262626", .toolBarText = "#f2f2f2",
     .toolBarEdge = "#111111",
     .hot = "#fff4c9 0.5@#ffd97a 0.51@#ffc13d #ffd76e", .hotText = "#000000", .hotEdge = "#c2941a",
     .tabRow = "#2b2b2b #161616", .tab = "#6a6a6a #404040", .tabText = "#e8e8e8", .tabEdge = "#0d0d0d",
     .tabSelected = "#f4f4f4 #d9d9d9", .tabSelectedText = "#000000", .tabAccent = "#ffb53f",
     .statusBar = "#444444 #1f1f1f", .statusText = "#f2f2f2", .statusEdge = "#0d0d0d",
     .button = "#747474 0.5@#595959 0.51@#4a4a4a #565656", .buttonText = "#ffffff",
     .radius = 4, .tabRadius = 5},
    // Office 2007, silver: cool silver-grey gradients, golden hot items,
    // slate text.
    {.id = looks::kOffice2007Silver, .menuText = "&Silver Style", .style = "Fusion", .setsDocking = true,
     .nativeControls = false,
     .window = "#e2e5ea", .windowText = "#3b4048", .dialog = "#f2f3f6 #d5d9e0", .base = "#fbfbfc",
     .highlight = "#ffe38c", .highlightedText = "#000000", .frame = "#9199a4",
     .menuBar = "#eff1f4 #cdd2da", .menuBarText = "#3b4048", .menuBarEdge = "#a9b0ba",
     .popup = "#fafafa", .popupText = "#000000",
     .toolBar = "#f7f8fa 0.5@#e3e6eb 0.51@#d2d6dd #dfe2e7", .toolBarText = "#3b4048",
     .toolBarEdge = "#9199a4",
     .hot = "#fffbe5 0.5@#ffe8a6 0.51@#ffd75a #ffe9a0", .hotText = "#000000", .hotEdge = "#dbb15b",
     .tabRow = "#c5cad3 #9ea5b2", .tab = "#f4f5f7 #d3d7de", .tabText = "#3b4048", .tabEdge = "#8a919c",
     .tabSelected = "#ffffff #f6f2e4", .tabSelectedText = "#000000", .tabAccent = "#ffb53f",
     .statusBar = "#eceef2 #c3c8d0", .statusText = "#3b4048", .statusEdge = "#9199a4",
     .button = "#fdfdfd 0.5@#eceef1 0.51@#dde0e5 #e9ebee", .buttonText = "#3b4048",
     .radius = 4, .tabRadius = 5},
    // Office 2007, aqua: teal-aqua gradients, pale aqua hot items, deep teal
    // text, a faint aqua tint in the panes.
    {.id = looks::kOffice2007Aqua, .menuText = "&Aqua Style", .style = "Fusion", .setsDocking = true,
     .nativeControls = false,
     .window = "#d9eef0", .windowText = "#164a55", .dialog = "#eaf7f8 #c3e3e7", .base = "#f8fdfd",
     .highlight = "#8fdbe3", .highlightedText = "#000000", .frame = "#5fa8b2",
     .menuBar = "#e8f6f7 #b9dfe3", .menuBarText = "#164a55", .menuBarEdge = "#6fb1ba",
     .popup = "#f7fcfc", .popupText = "#000000",
     .toolBar = "#e4f4f6 0.5@#c2e5e9 0.51@#a5d6dc #c0e4e8", .toolBarText = "#164a55",
     .toolBarEdge = "#4f9aa5",
     .hot = "#f2fdfe 0.5@#c4f0f4 0.51@#92e0e8 #b8eef2", .hotText = "#000000", .hotEdge = "#2f8f9b",
     .tabRow = "#7fc0c8 #559da7", .tab = "#e6f5f7 #b8dfe4", .tabText = "#164a55", .tabEdge = "#3d8a95",
     .tabSelected = "#ffffff #e9f8f9", .tabSelectedText = "#000000", .tabAccent = "#14a3b3",
     .statusBar = "#c9e8eb #8cc8cf", .statusText = "#164a55", .statusEdge = "#4f9aa5",
     .button = "#f6fcfd 0.5@#dcf1f3 0.51@#c6e7eb #d9f0f2", .buttonText = "#164a55",
     .radius = 4, .tabRadius = 5},
    // Windows 7: glassy light blue bars split in the middle, soft blue hot
    // items, rounded tabs on a pale blue row, grey glass buttons.
    {.id = looks::kWindows7, .menuText = "", .style = "Fusion", .setsDocking = true,
     .nativeControls = false,
     .window = "#f0f0f0", .windowText = "#000000", .dialog = "#f0f0f0", .base = "#ffffff",
     .highlight = "#2b7bd6", .highlightedText = "#ffffff", .frame = "#8e8f8f",
     .menuBar = "#fcfdfe 0.5@#eef3fa 0.51@#e1eaf6 #dbe6f4", .menuBarText = "#000000",
     .menuBarEdge = "#b6c6d9",
     .popup = "#f0f0f0", .popupText = "#000000",
     .toolBar = "#fafdff 0.5@#e6eef9 0.51@#d4e1f2 #dde9f7", .toolBarText = "#1e395b",
     .toolBarEdge = "#a0afc3",
     .hot = "#f2f8fe 0.5@#e1effd 0.51@#cde4fc #daebfd", .hotText = "#000000", .hotEdge = "#7da2ce",
     .tabRow = "#b4d5f5 0.5@#93bfec 0.51@#7aafe5 #9cc8f1", .tab = "#fbfdff 0.5@#e6eef9 0.51@#d3e2f4 #dfeaf7", .tabText = "#1e395b",
     .tabEdge = "#8ea9c9",
     .tabSelected = "#ffffff #f1f6fc", .tabSelectedText = "#000000", .tabAccent = "#3c7fb1",
     .statusBar = "#f1f5fb #d6e2f0", .statusText = "#1e395b", .statusEdge = "#a0afc3",
     .button = "#f2f2f2 0.5@#ebebeb 0.51@#dddddd #cfcfcf", .buttonText = "#000000",
     .radius = 3, .tabRadius = 7},
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

bool IsOffice2007Style(int id) { return id >= looks::kOffice2007Blue && id <= looks::kOffice2007Aqua; }

// The definition a value is drawn with: its own, else Office 2007 in the
// last style chosen.
const LookDef& Resolve(int id) {
    if (const LookDef* def = Find(id)) return *def;
    return *Find(office2007Style);
}

// The colours of a fill with their places along the run.
std::vector<std::pair<double, QColor>> Stops(const char* fill) {
    const QStringList parts = QString::fromLatin1(fill).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    std::vector<std::pair<double, QColor>> stops;
    for (int i = 0; i < parts.size(); ++i) {
        const int at = parts[i].indexOf(QLatin1Char('@'));
        const double even = parts.size() > 1 ? double(i) / double(parts.size() - 1) : 0.0;
        if (at < 0)
            stops.emplace_back(even, QColor(parts[i]));
        else
            stops.emplace_back(parts[i].left(at).toDouble(), QColor(parts[i].mid(at + 1)));
    }
    return stops;
}

// The colour a fill shows on average: the mean of its first and last.
QColor Mean(const char* fill) {
    const auto stops = Stops(fill);
    const QColor a = stops.front().second;
    const QColor b = stops.back().second;
    return QColor((a.red() + b.red()) / 2, (a.green() + b.green()) / 2, (a.blue() + b.blue()) / 2);
}

// A fill as a style sheet brush: a colour, or a gradient from top to bottom
// (from left to right when across).
QString Brush(const char* fill, bool across = false) {
    const auto stops = Stops(fill);
    if (stops.size() == 1) return stops.front().second.name();
    QString brush = across ? QStringLiteral("qlineargradient(x1:0, y1:0, x2:1, y2:0")
                           : QStringLiteral("qlineargradient(x1:0, y1:0, x2:0, y2:1");
    for (const auto& [at, colour] : stops)
        brush += QStringLiteral(", stop:%1 %2").arg(at).arg(colour.name());
    return brush + QLatin1Char(')');
}

QString Colour(const char* colour) { return QString::fromLatin1(colour); }

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
    if (IsOffice2007Style(commandId)) return QStringLiteral("Office 200&7");
    return QString();
}

int DefaultLook() { return looks::kVisualStudio2008; }

bool LookSetsDockingMode(int commandId) { return Resolve(commandId).setsDocking; }

int CurrentLook() { return currentLook; }

int StoredLook() {
    QSettings settings = UserSettings();
    bool ok = false;
    int value = settings.value(QString::fromLatin1(kLookKey), DefaultLook()).toInt(&ok);
    return ok ? value : DefaultLook();
}

QString LookStyleName(int commandId) { return QString::fromLatin1(Resolve(commandId).style); }

QPalette LookPalette(int commandId) {
    const LookDef& d = Resolve(commandId);
    QPalette p;
    const QColor window(Colour(d.window));
    const QColor windowText(Colour(d.windowText));
    const QColor button = Mean(d.button);
    const QColor base(Colour(d.base));
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, windowText);
    p.setColor(QPalette::Button, button);
    p.setColor(QPalette::ButtonText, QColor(Colour(d.buttonText)));
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, base.darker(105));
    // Text on the panes and in edit fields is black in every look; the panes'
    // own colours are set per line and need the light base.
    p.setColor(QPalette::Text, Qt::black);
    p.setColor(QPalette::PlaceholderText, QColor(0x80, 0x80, 0x80));
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::ToolTipBase, QColor(0xff, 0xff, 0xe1));
    p.setColor(QPalette::ToolTipText, Qt::black);
    p.setColor(QPalette::Highlight, QColor(Colour(d.highlight)));
    p.setColor(QPalette::HighlightedText, QColor(Colour(d.highlightedText)));
    if (d.nativeControls) {
        // The classic bevel: white and black outer edges, grey inner ones.
        p.setColor(QPalette::Light, Qt::white);
        p.setColor(QPalette::Midlight, button);
        p.setColor(QPalette::Mid, QColor(0x80, 0x80, 0x80));
        p.setColor(QPalette::Dark, QColor(0x80, 0x80, 0x80));
        p.setColor(QPalette::Shadow, QColor(0x40, 0x40, 0x40));
    } else {
        p.setColor(QPalette::Light, button.lighter(150));
        p.setColor(QPalette::Midlight, button.lighter(115));
        p.setColor(QPalette::Mid, button.darker(130));
        p.setColor(QPalette::Dark, button.darker(160));
        p.setColor(QPalette::Shadow, Qt::black);
    }
    p.setColor(QPalette::Link, QColor(0x00, 0x00, 0xee));
    const bool dark = window.lightness() < 128;
    const QColor disabled = dark ? QColor(0xa0, 0xa0, 0xa0) : QColor(0x80, 0x80, 0x80);
    p.setColor(QPalette::Disabled, QPalette::WindowText, disabled);
    p.setColor(QPalette::Disabled, QPalette::ButtonText, disabled);
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x80));
    return p;
}

QString LookStyleSheet(int commandId) {
    const LookDef& d = Resolve(commandId);
    const QString r = QString::number(d.radius);
    const QString tr = QString::number(d.tabRadius);
    QString s;
    // Dialogs and windows. The panes keep the palette's base and their own
    // text colours; nothing here reaches their text.
    s += QStringLiteral("QDialog { background: %1; }").arg(Brush(d.dialog));
    s += QStringLiteral("QToolTip { color: #000000; background: #ffffe1; border: 1px solid #767676; }");

    // Menu bar and menus.
    s += QStringLiteral("QMenuBar { background: %1; color: %2; border-bottom: %3px solid %4; }")
             .arg(Brush(d.menuBar), Colour(d.menuBarText), QString::number(d.nativeControls ? 1 : 2),
                  Colour(d.menuBarEdge));
    s += QStringLiteral("QMenuBar::item { background: transparent; color: %1; padding: 3px 8px;"
                        " margin: 1px; border: 1px solid transparent; border-radius: %2px; }")
             .arg(Colour(d.menuBarText), r);
    s += QStringLiteral("QMenuBar::item:selected, QMenuBar::item:pressed { background: %1; color: %2;"
                        " border: 1px solid %3; }")
             .arg(Brush(d.hot), Colour(d.hotText), Colour(d.hotEdge));
    s += QStringLiteral("QMenu { background: %1; color: %2; border: 1px solid %3; }")
             .arg(Brush(d.popup), Colour(d.popupText), Colour(d.frame));
    s += QStringLiteral("QMenu::item { padding: 3px 24px 3px 26px; border: 1px solid transparent; }"
                        "QMenu::item:selected { background: %1; color: %2; border: 1px solid %3;"
                        " border-radius: %4px; }"
                        "QMenu::item:disabled { color: #8c8c8c; }"
                        "QMenu::separator { height: 1px; background: %5; margin: 3px 4px 3px 26px; }")
             .arg(Brush(d.hot), Colour(d.hotText), Colour(d.hotEdge), r, Colour(d.frame));

    // Tool bar.
    s += QStringLiteral("QToolBar { background: %1; border: 1px solid %2; border-radius: %3px;"
                        " spacing: 2px; padding: 1px; }")
             .arg(Brush(d.toolBar), Colour(d.toolBarEdge), r);
    s += QStringLiteral("QToolBar QToolButton { color: %1; background: transparent;"
                        " border: 1px solid transparent; border-radius: %2px; padding: 2px; }"
                        "QToolBar QToolButton:hover, QToolBar QToolButton:checked { background: %3; color: %4;"
                        " border: 1px solid %5; }"
                        "QToolBar QToolButton:pressed { background: %6; }")
             .arg(Colour(d.toolBarText), r, Brush(d.hot), Colour(d.hotText), Colour(d.hotEdge),
                  QColor(Colour(d.hotEdge)).lighter(160).name());

    // The row of document tabs.
    s += QStringLiteral("QMdiArea { background: %1; }").arg(Mean(d.tabRow).name());
    s += QStringLiteral("QMdiArea QTabBar { background: %1; }").arg(Brush(d.tabRow));
    s += QStringLiteral("QTabBar::tab { background: %1; color: %2; border: 1px solid %3; border-bottom: none;"
                        " padding: 4px 14px; margin: 3px 1px 0px 1px; border-top-left-radius: %4px;"
                        " border-top-right-radius: %4px; }")
             .arg(Brush(d.tab), Colour(d.tabText), Colour(d.tabEdge), tr);
    s += QStringLiteral("QTabBar::tab:!selected:hover { background: %1; color: %2; }")
             .arg(Brush(d.hot), Colour(d.hotText));
    s += QStringLiteral("QTabBar::tab:selected { background: %1; color: %2; border-top: 3px solid %3;"
                        " margin-top: 0px; font-weight: bold; }")
             .arg(Brush(d.tabSelected), Colour(d.tabSelectedText), Colour(d.tabAccent));

    // Status bar.
    s += QStringLiteral("QStatusBar { background: %1; color: %2; border-top: 1px solid %3; }"
                        "QStatusBar QLabel { color: %2; background: transparent; }"
                        "QStatusBar::item { border: 1px solid %3; border-radius: %4px; }")
             .arg(Brush(d.statusBar), Colour(d.statusText), Colour(d.statusEdge), r);

    // Buttons, group boxes and edit fields. The classic look leaves them to
    // the style's bevels.
    if (d.nativeControls) return s;
    const QColor frame(Colour(d.frame));
    s += QStringLiteral("QPushButton { background: %1; color: %2; border: 1px solid %3; border-radius: %4px;"
                        " padding: 3px 14px; min-height: 16px; }"
                        "QPushButton:hover { background: %5; color: %6; border: 1px solid %7; }"
                        "QPushButton:pressed { background: %8; }"
                        "QPushButton:default { border: 1px solid %9; }")
             .arg(Brush(d.button), Colour(d.buttonText), frame.name(), r, Brush(d.hot), Colour(d.hotText),
                  Colour(d.hotEdge), QColor(Colour(d.hotEdge)).lighter(160).name(),
                  QColor(Colour(d.hotEdge)).name());
    s += QStringLiteral("QPushButton:disabled { color: #8c8c8c; }");
    s += QStringLiteral("QGroupBox { border: 1px solid %1; border-radius: %2px; margin-top: 9px; padding-top: 5px; }"
                        "QGroupBox::title { subcontrol-origin: margin; left: 8px; padding: 0px 3px; }")
             .arg(frame.name(), r);
    s += QStringLiteral("QLineEdit { border: 1px solid %1; border-radius: %2px; padding: 2px;"
                        " background: %3; color: #000000; selection-background-color: %4;"
                        " selection-color: %5; }"
                        "QLineEdit:focus { border: 1px solid %6; }"
                        "QLineEdit:disabled { color: #808080; }")
             .arg(frame.name(), QString::number(qMin(d.radius, 2)), Colour(d.base), Colour(d.highlight),
                  Colour(d.highlightedText), Colour(d.hotEdge));
    return s;
}

namespace {

// Menu items of a one-of-many choice (the looks) carry a radio mark, as the
// style draws it for a radio button, whatever the look's style sheet does
// with the check mark of other items.
class RadioMarkStyle final : public QProxyStyle {
public:
    explicit RadioMarkStyle(QStyle* base) : QProxyStyle(base) {}

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
        if (element == PE_IndicatorMenuCheckMark && item != nullptr &&
            item->checkType == QStyleOptionMenuItem::Exclusive) {
            if (!item->checked) return;
            const QRectF box = option->rect;
            const qreal d = qMax<qreal>(4.0, qMin(box.width(), box.height()) * 0.45);
            painter->save();
            painter->setRenderHint(QPainter::Antialiasing);
            painter->setPen(Qt::NoPen);
            painter->setBrush(option->palette.color((option->state & State_Selected) != 0
                                                        ? QPalette::HighlightedText
                                                        : QPalette::Text));
            painter->drawEllipse(QRectF(box.center().x() - d / 2, box.center().y() - d / 2, d, d));
            painter->restore();
            return;
        }
        QProxyStyle::drawPrimitive(element, option, painter, widget);
    }
};

}  // namespace

void ApplyLook(int commandId, QMainWindow* frame) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    currentLook = commandId;
    if (IsOffice2007Style(commandId)) office2007Style = commandId;

    if (QStyle* style = QStyleFactory::create(LookStyleName(commandId)))
        QApplication::setStyle(new RadioMarkStyle(style));
    QApplication::setPalette(LookPalette(commandId));
    qApp->setStyleSheet(LookStyleSheet(commandId));

    if (frame && LookSetsDockingMode(commandId))
        frame->setDockOptions(QMainWindow::AnimatedDocks | QMainWindow::AllowNestedDocks |
                              QMainWindow::AllowTabbedDocks);

    for (QWidget* widget : QApplication::topLevelWidgets()) {
        widget->update();
        for (QWidget* child : widget->findChildren<QWidget*>()) child->update();
    }

    QSettings settings = UserSettings();
    settings.setValue(QString::fromLatin1(kLookKey), commandId);
    settings.sync();
    QApplication::restoreOverrideCursor();
}

void ApplyStoredLook(QMainWindow* frame) { ApplyLook(StoredLook(), frame); }
