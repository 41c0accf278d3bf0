#pragma once
// The scope messages: what one scope entry is (a log text in a colour, a
// received frame, a sent frame), with the numbers the serial scope has
// always used for them.
#include <cstdint>

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
