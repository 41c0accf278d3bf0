#include "console/MainFrame.h"

// The recent files: kept in the user's settings, shown in both File menus.
#include <QAction>
#include <QFileInfo>

#include "console/UserSettings.h"

namespace {

const char* const kRecentGroup = "Recent File List";

}  // namespace

void CMainFrame::AddToRecentFileList(const QString& path) {
    const QString full = QFileInfo(path).absoluteFilePath();
    recentFiles_.removeAll(full);
    recentFiles_.prepend(full);
    while (recentFiles_.size() > kRecentFileCount) recentFiles_.removeLast();
    SaveRecentFiles();
    UpdateRecentFileMenu();
}

void CMainFrame::OpenRecentFile(int index) {
    if (index >= recentFiles_.size()) return;
    const QString path = recentFiles_.at(index);
    if (CreateDocumentWindow(path) == nullptr) {
        // A file that is gone leaves the list.
        recentFiles_.removeAt(index);
        SaveRecentFiles();
        UpdateRecentFileMenu();
    }
}

void CMainFrame::LoadRecentFiles() {
    QSettings settings = UserSettings();
    settings.beginGroup(QString::fromLatin1(kRecentGroup));
    recentFiles_.clear();
    for (int i = 1; i <= kRecentFileCount; ++i) {
        const QString path = settings.value(QStringLiteral("File%1").arg(i)).toString();
        if (!path.isEmpty()) recentFiles_.append(path);
    }
    settings.endGroup();
    UpdateRecentFileMenu();
}

void CMainFrame::SaveRecentFiles() const {
    QSettings settings = UserSettings();
    settings.beginGroup(QString::fromLatin1(kRecentGroup));
    for (int i = 1; i <= kRecentFileCount; ++i) {
        if (i <= recentFiles_.size()) {
            settings.setValue(QStringLiteral("File%1").arg(i), recentFiles_.at(i - 1));
        } else {
            settings.remove(QStringLiteral("File%1").arg(i));
        }
    }
    settings.endGroup();
    settings.sync();
}

void CMainFrame::UpdateRecentFileMenu() {
    for (int i = 0; i < kRecentFileCount; ++i) {
        QAction* action = Action(cmd::FileMru1 + i);
        if (i < recentFiles_.size()) {
            QString shown = recentFiles_.at(i);
            shown.replace(QLatin1Char('&'), QStringLiteral("&&"));
            action->setText(QStringLiteral("&%1 %2").arg(i + 1).arg(shown));
            action->setVisible(true);
            action->setEnabled(true);
        } else if (i == 0) {
            // An empty list shows one greyed placeholder.
            action->setText(QStringLiteral("Recent File"));
            action->setVisible(true);
            action->setEnabled(false);
        } else {
            action->setVisible(false);
        }
    }
}
