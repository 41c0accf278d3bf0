#pragma once
// The application looks: eleven styles of the whole console, chosen with
// the commands 205 to 219 of the "&Application Look" menu and remembered in
// the per-user setting "ApplicationLook". Each look is a widget style, a
// palette and a style sheet that dress the menu bar and menus, tool bar,
// document tabs, status bar, dialogs, buttons and edit fields; the panes keep
// their coloured text on a white or faintly tinted background.
#include <QPalette>
#include <QString>
#include <vector>

class QMainWindow;

namespace looks {

constexpr int kWindows2000 = 205;
constexpr int kOfficeXP = 206;
constexpr int kWindowsXP = 207;
constexpr int kOffice2003 = 208;
constexpr int kVisualStudio2005 = 209;
constexpr int kVisualStudio2008 = 210;
constexpr int kOffice2007Blue = 215;
constexpr int kOffice2007Black = 216;
constexpr int kOffice2007Silver = 217;
constexpr int kOffice2007Aqua = 218;
constexpr int kWindows7 = 219;

}  // namespace looks

// The eleven look commands, in menu order.
const std::vector<int>& LookIds();
// The menu text of a look ("Visual Studio 200&8"); empty for a look without
// a menu item (219) and for unknown values.
QString LookMenuText(int commandId);
// The submenu a look's item sits in: "Office 200&7" for the four Office
// 2007 styles, else empty (the item sits in "&Application Look" itself).
QString LookSubmenuText(int commandId);
// The look used when none is stored: "Visual Studio 200&8".
int DefaultLook();
// Whether choosing the look switches the frame to smart docking (nested,
// tabbed, animated docks); the others leave the docking mode as it is.
bool LookSetsDockingMode(int commandId);

// The command identifier of the look in force (any value applied, even an
// unknown one, which shows as the Office 2007 look in its last style).
int CurrentLook();
// The stored "ApplicationLook", or DefaultLook() when there is none.
int StoredLook();

// Sets the look: wait cursor, store it as current, apply style, palette and
// style sheet to the application (and the docking mode to frame, when one
// is given and the look sets it), redraw every window, write
// "ApplicationLook", restore the cursor.
void ApplyLook(int commandId, QMainWindow* frame = nullptr);
// Applies the stored look, as the main frame does while it is created.
void ApplyStoredLook(QMainWindow* frame = nullptr);

// The parts of a look, for tests and screenshots. Unknown values give the
// Office 2007 look in its last applied style.
QString LookStyleName(int commandId);
QPalette LookPalette(int commandId);
QString LookStyleSheet(int commandId);
