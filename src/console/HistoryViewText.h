#pragma once
// How the history views write the history's values: shared by the Sites,
// Trains and Train views.
#include <QString>
#include <cstdint>
#include <string>

#include "records/TrainHistory.h"

namespace historyview {

// A text of the history, read as Latin-1.
inline QString Text(const std::string& s) { return QString::fromLatin1(s.data(), static_cast<int>(s.size())); }

inline QString TimeOrNever(std::int64_t t) { return t != 0 ? Text(LocalTimeText(t)) : QStringLiteral("never"); }

// A milepost in tenths, "123.4"; empty when not known.
inline QString Milepost(int tenths) {
    return tenths < 0 ? QString() : QStringLiteral("%1.%2").arg(tenths / 10).arg(tenths % 10);
}

// A train's system message codes as their texts.
inline QString Messages(const std::string& codes) { return codes.empty() ? QString() : Text(SimCodeTexts(codes)); }

}  // namespace historyview
