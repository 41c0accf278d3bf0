#pragma once
// Time as the worker sees it: a 32-bit millisecond tick count that wraps, a
// sleep, a pause that input ends early, and the wall clock. Each collector
// has its clock (its own SystemClock unless it was given another); tests
// give it a FakeClock, on which sleeping and pausing advance the tick count
// at once.
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>

// Input that can end a pause early (the radio port).
class IInput {
public:
    virtual ~IInput() = default;
    // True when input is waiting now; never blocks.
    virtual bool InputWaiting() = 0;
    // Blocks until input is waiting or `milliseconds` have passed, whichever
    // comes first; true when input is waiting.
    virtual bool WaitForInput(std::uint32_t milliseconds) = 0;
};

class IClock {
public:
    virtual ~IClock() = default;
    virtual std::uint32_t TickCount() = 0;
    virtual void Sleep(std::uint32_t milliseconds) = 0;
    // A pause of at most `milliseconds` that ends as soon as `input` has
    // something waiting (at once when it already has).
    virtual void Pause(std::uint32_t milliseconds, IInput& input) = 0;
    virtual std::time_t Now() = 0;
};

class SystemClock final : public IClock {
public:
    std::uint32_t TickCount() override;
    void Sleep(std::uint32_t milliseconds) override;
    void Pause(std::uint32_t milliseconds, IInput& input) override;
    std::time_t Now() override;
};

// A clock that only moves when told to. Sleep advances it by the time asked
// for and then runs the sleep hook (if any), which tests use to feed bytes
// "while the worker sleeps" or to stop the worker after a number of pauses.
// Pause takes no time when input is already waiting; otherwise it is a
// sleep of its whole limit, or of the input delay when one is set (input
// that "arrives" after that many milliseconds: the hook feeds it).
class FakeClock final : public IClock {
public:
    explicit FakeClock(std::uint32_t startTick = 1000, std::time_t startTime = 1780000000)
        : tick_(startTick), time_(startTime) {}
    std::uint32_t TickCount() override { return tick_.load(); }
    void Sleep(std::uint32_t milliseconds) override;
    void Pause(std::uint32_t milliseconds, IInput& input) override;
    std::time_t Now() override { return time_.load(); }
    // 0 (the default): pauses last their whole limit.
    void SetInputDelay(std::uint32_t milliseconds) { inputDelay_ = milliseconds; }

    void Advance(std::uint32_t milliseconds) { tick_ += milliseconds; }
    void SetTick(std::uint32_t tick) { tick_ = tick; }
    void SetTime(std::time_t t) { time_ = t; }
    std::uint64_t TotalSlept() const { return slept_.load(); }
    std::uint64_t SleepCount() const { return sleeps_.load(); }
    void SetSleepHook(std::function<void(std::uint32_t)> hook);

private:
    std::atomic<std::uint32_t> tick_;
    std::atomic<std::time_t> time_;
    std::atomic<std::uint64_t> slept_{0};
    std::atomic<std::uint64_t> sleeps_{0};
    std::atomic<std::uint32_t> inputDelay_{0};
    std::mutex hookMutex_;
    std::function<void(std::uint32_t)> hook_;
};
