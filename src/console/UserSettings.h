#pragma once
// The per-user settings of the console: recent files, window and toolbar
// state, the look.
#include <QSettings>
#include <QString>

inline QString SettingsOrganisation() {
    return QStringLiteral("Local AppWizard-Generated Applications");
}
inline QString SettingsApplication() { return QStringLiteral("Kestova"); }

inline QSettings UserSettings() { return QSettings(SettingsOrganisation(), SettingsApplication()); }
