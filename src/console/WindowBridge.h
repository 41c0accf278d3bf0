#pragma once
// The user-interface end of the worker-to-window messages.
//
// A window of the console registers a BridgedWindow and hands its handle to
// the worker (scopeWindow, echoDialogWindow). A message sent from the worker
// is carried onto the user-interface thread and handled there while the
// worker waits, so the text and bytes only need to live for the call. A
// message sent on the user-interface thread itself is handled at once.
//
// Nothing here can hang the worker for good:
//  - a window that is closed (Close, or the destructor) takes no further
//    message, and one already on its way to it is dropped;
//  - once BeginShutdown has been called every send returns 0 at once and
//    message boxes raised by the worker return at once, so the
//    user-interface thread can wait for the worker to end.
#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>

#include "common/Messages.h"

namespace bridge {

// Sets up the bridge on the user-interface thread (after the QApplication
// exists) and installs the console's message boxes. Safe to call again.
void Install();
// Removes the message box handler and the dispatcher. Call only when the
// worker has ended or been abandoned.
void Uninstall();
// From now on sends fail fast and waiting message boxes are released; open
// message boxes raised by the worker are closed. User-interface thread.
void BeginShutdown();
bool ShuttingDown();
// Clears the shutdown state (tests that start the console again).
void ResetShutdown();
bool OnUiThread();

}  // namespace bridge

class BridgedWindow {
public:
    using Handler = std::function<std::intptr_t(std::uint32_t, WPARAM, LPARAM)>;
    explicit BridgedWindow(Handler handler);
    ~BridgedWindow();
    BridgedWindow(const BridgedWindow&) = delete;
    BridgedWindow& operator=(const BridgedWindow&) = delete;

    WindowHandle Handle() const { return handle_; }
    // Unregisters the window; a message on its way is dropped. UI thread.
    void Close();

private:
    class Target;
    std::shared_ptr<Target> target_;
    WindowHandle handle_ = 0;
};
