#pragma once
// Message boxes of the console, and the way the collector's texts for the
// operator reach them.
//
// A box the console raises for the operator's own command (on the
// user-interface thread) is modal, as it always was. A text the collector
// publishes for the operator (an OperatorMessage event, on a subscriber's
// thread) is posted to the user-interface thread and shown there without
// anyone waiting for it: the worker goes on at once.
//
// Once BeginShutdown has been called no new box opens and the boxes the
// collector's texts opened are closed, so the console can stop.
#include <QObject>

#include "engine/EventHub.h"

namespace bridge {

// Sets up the posting of boxes on the user-interface thread (after the
// QApplication exists). Safe to call again.
void Install();
// Removes it. Call only when no collector publishes any more.
void Uninstall();
// From now on boxes return at once; open boxes of the collector's texts
// are closed. User-interface thread.
void BeginShutdown();
// Clears the shutdown state (tests that start the console again).
void ResetShutdown();
bool OnUiThread();

// A box with an OK button. On the user-interface thread: modal, returns
// when closed. From any other thread: posted, returns at once.
void ShowMessageBox(const char* text);

}  // namespace bridge

// Shows every OperatorMessage of a collector in a box (posted, never waited for).
class OperatorMessageBoxes final : public IEventSubscriber {
public:
    void OnEngineEvent(const EngineEvent& event) override;
};
