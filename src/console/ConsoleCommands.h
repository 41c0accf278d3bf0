#pragma once
// Commands that both views offer, and the "Edit" context menu they show.
#include <QPoint>
#include <QString>

class CRichEditScopeView;
class QMenu;
class QWidget;

namespace console {

// "List Callers": writes the listing and opens it in the desktop's viewer,
// or in a read-only window of our own when no viewer can be started.
void OnListCallers(QWidget* parent);
// "Send &Echo Command": runs the echo dialog; when it has closed, a request
// the worker has not yet taken is withdrawn.
void OnSendEchoCommand(QWidget* parent);
// The read-only listing window (also used when the desktop has no viewer).
QWidget* ShowListingWindow(const QString& path);
// Opens a text file in the desktop's viewer where a desktop session has one
// to start, else in a read-only window of our own (returned; null when the
// desktop took it).
QWidget* OpenTextFile(const QString& path);

// The "Edit" context menu: "Cu&t\tCtrl+X", "&Copy\tCtrl+C", "&Paste\tCtrl+V".
// Cut and Paste are greyed (a pane takes no text); Copy copies the pane's
// selection. With a pane, "Select All", "Find...", "Pause" and "Clear"
// follow and act on it.
QMenu* CreateEditContextMenu(QWidget* parent, CRichEditScopeView* pane = nullptr);
void ShowEditContextMenu(QWidget* parent, const QPoint& globalPos, CRichEditScopeView* pane);

}  // namespace console
