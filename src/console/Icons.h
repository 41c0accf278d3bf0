#pragma once
// The console's pictures, drawn at run time: the application icon, the
// toolbar's buttons and the colour marks of the document tabs.
#include <QColor>
#include <QIcon>

namespace icons {

QIcon Application();
enum class Tool { New, Open, Save, Cut, Copy, Paste, Print, About, Alarms };
QIcon Toolbar(Tool tool);
// The mark of an alarm row: a red triangle with an exclamation mark.
QIcon AlarmMark();
// The background of an alarm row (amber: not the pale red of a silent site).
QColor AlarmRowColour();
// A small coloured tab mark; the n-th document gets the n-th colour.
QIcon TabMark(int index);
QColor TabColour(int index);

}  // namespace icons
