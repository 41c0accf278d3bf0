#include "console/DialogUnits.h"

#include <QFontMetricsF>
#include <QWidget>
#include <cmath>

DialogUnits::DialogUnits(const QFont& font) : font_(font) {
    // The average width is that of the 52 letters, the way dialog templates
    // have always measured it (not the font's own average, which runs wide).
    QFontMetricsF metrics(font);
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const int lettersWidth = static_cast<int>(std::lround(metrics.horizontalAdvance(letters)));
    averageWidth_ = (lettersWidth / 26 + 1) / 2;
    if (averageWidth_ < 1.0) averageWidth_ = 1.0;
    charHeight_ = static_cast<int>(std::ceil(metrics.height()));
    if (charHeight_ < 1) charHeight_ = 1;
}

int DialogUnits::X(int units) const {
    return static_cast<int>(std::lround(units * averageWidth_ / 4.0));
}

int DialogUnits::Y(int units) const {
    return static_cast<int>(std::lround(units * charHeight_ / 8.0));
}

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
    return QRect(X(x), Y(y), X(width), Y(height));
}

QSize DialogUnits::Size(int width, int height) const { return QSize(X(width), Y(height)); }

void DialogUnits::ApplyToDialog(QWidget* dialog, int width, int height) const {
    dialog->setFont(font_);
    dialog->setFixedSize(Size(width, height));
}

void DialogUnits::Place(QWidget* control, int x, int y, int width, int height) const {
    control->setGeometry(Rect(x, y, width, height));
}
