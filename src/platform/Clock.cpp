#include "platform/Clock.h"

#include <time.h>

#include <cerrno>

std::uint32_t SystemClock::TickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                       static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

void SystemClock::Sleep(std::uint32_t milliseconds) {
    timespec ts{};
    ts.tv_sec = milliseconds / 1000;
    ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void SystemClock::Pause(std::uint32_t milliseconds, IInput& input) {
    (void)input.WaitForInput(milliseconds);
}

std::time_t SystemClock::Now() { return std::time(nullptr); }

void FakeClock::Sleep(std::uint32_t milliseconds) {
    tick_ += milliseconds;
    slept_ += milliseconds;
    ++sleeps_;
    std::function<void(std::uint32_t)> hook;
    {
        std::lock_guard<std::mutex> lock(hookMutex_);
        hook = hook_;
    }
    if (hook) hook(milliseconds);
}

void FakeClock::Pause(std::uint32_t milliseconds, IInput& input) {
    if (input.InputWaiting()) return;
    const std::uint32_t delay = inputDelay_.load();
    Sleep(delay != 0 && delay < milliseconds ? delay : milliseconds);
}

void FakeClock::SetSleepHook(std::function<void(std::uint32_t)> hook) {
    std::lock_guard<std::mutex> lock(hookMutex_);
    hook_ = std::move(hook);
}
