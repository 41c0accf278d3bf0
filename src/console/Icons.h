#pragma once
// The console's pictures, drawn at run time: the application icon, the
// toolbar's buttons and the colour marks of the document tabs.
#include <QColor>
#include <QIcon>

namespace icons {

QIcon Application();
enum class Tool { New, Open, Save, Cut, Copy, Paste, Print, About };
QIcon Toolbar(Tool tool);
// A small coloured tab mark; the n-th document gets the n-th colour.
QIcon TabMark(int index);
QColor TabColour(int index);

}  // namespace icons
