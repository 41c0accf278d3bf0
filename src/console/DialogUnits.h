#pragma once
// Dialog layout in dialog units: a horizontal unit is a quarter of the
// dialog font's average character width, a vertical unit an eighth of its
// character height, so a dialog keeps its proportions with any font.
#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);

    int X(int units) const;
    int Y(int units) const;
    QRect Rect(int x, int y, int width, int height) const;
    QSize Size(int width, int height) const;

    // Sets the widget's font and fixed size from the template's size.
    void ApplyToDialog(QWidget* dialog, int width, int height) const;
    // Places a control by its template rectangle.
    void Place(QWidget* control, int x, int y, int width, int height) const;

private:
    QFont font_;
    double averageWidth_;
    int charHeight_;
};
