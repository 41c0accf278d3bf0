#pragma once
// Worker-to-window messages. A window is known to the worker only by a
// handle; the handle is resolved at every send, so a window that has gone
// away simply stops receiving (the send returns 0 and does nothing).
// Every send is synchronous: it returns when the window has taken the text.
#include <cstdint>
#include <memory>

using WindowHandle = std::uint32_t;   // 0 = no window
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;

constexpr std::uint32_t WM_USER = 0x400;
constexpr std::uint32_t WM_LOG_TEXT = WM_USER + 400;           // wParam colour, lParam text
constexpr std::uint32_t WM_LOG_FIELD_BYTES = WM_USER + 401;    // wParam count, lParam received frame
constexpr std::uint32_t WM_LOG_COLLECT_BYTES = WM_USER + 402;  // wParam count, lParam sent frame
constexpr std::uint32_t WM_ECHO_TEXT = WM_USER + 410;          // wParam 0, lParam text
constexpr std::uint32_t WM_ECHO_TEXT_GREEN = WM_USER + 411;    // as WM_ECHO_TEXT, in dark green

static_assert(WM_LOG_TEXT == 0x590 && WM_LOG_FIELD_BYTES == 0x591 &&
              WM_LOG_COLLECT_BYTES == 0x592 && WM_ECHO_TEXT == 0x59A);

// What owns a handle: a pane window, the headless stdout writer, a test sink.
class IWindowTarget {
public:
    virtual ~IWindowTarget() = default;
    // Called on the sender's thread; must not return before the message has
    // been handled (the text and bytes belong to the sender).
    virtual std::intptr_t HandleMessage(std::uint32_t message, WPARAM wParam, LPARAM lParam) = 0;
};

// Registers a target and returns its handle (never 0).
WindowHandle RegisterWindow(std::shared_ptr<IWindowTarget> target);
// After this returns no new message reaches the target; one already being
// delivered finishes (the target object stays alive until it has).
void UnregisterWindow(WindowHandle handle);
// Synchronous send. Returns the handler's result, or 0 when the handle is
// 0 or no longer registered.
std::intptr_t SendWindowMessage(WindowHandle handle, std::uint32_t message, WPARAM wParam,
                                LPARAM lParam);
