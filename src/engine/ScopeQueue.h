#pragma once
// The way from the worker to a user interface's scope pane: a bounded
// queue that the worker fills without ever waiting, and that the interface
// drains in batches on its own thread. When the pane falls behind and the
// queue is full, entries are skipped and counted (the day's scope log has
// them all, in order); the pane says how many it skipped where it skipped
// them. Echo dialog lines are few and never skipped.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/ScopeEntry.h"

struct ScopeItem {
    enum class Kind { Entry, Echo, Skipped };
    Kind kind = Kind::Entry;
    ScopeEntry entry;        // Entry
    std::string echo;        // Echo: the dialog's line
    std::uint64_t skipped = 0;  // Skipped: entries left out here
};

constexpr std::size_t SCOPE_QUEUE_DEFAULT = 8192;

class ScopeQueue final : public IScopeView {
public:
    explicit ScopeQueue(std::size_t capacity = SCOPE_QUEUE_DEFAULT) : capacity_(capacity) {}

    // The worker's side: never waits beyond the queue's short lock.
    void Show(const ScopeEntry& entry) override;
    void EchoLine(const std::string& text) override;

    // Called on the worker's thread when the queue was empty and has an
    // item now: the interface schedules a drain on its own thread (a post
    // that does not wait: it runs under the queue's lock). Once SetWake
    // returns, the previous wake is never called again, so its owner may go.
    void SetWake(std::function<void()> wake);

    // The interface's side: moves up to `max` items, in order, into *out
    // (a run of skipped entries comes as one Skipped item where it fell).
    // Returns how many.
    std::size_t Drain(std::vector<ScopeItem>* out, std::size_t max = static_cast<std::size_t>(-1));
    // Entries skipped since the start.
    std::uint64_t Skipped() const;
    std::size_t Size() const;

private:
    void Push(ScopeItem item, bool mayDrop);

    const std::size_t capacity_;
    std::function<void()> wake_;
    mutable std::mutex mutex_;
    std::deque<ScopeItem> items_;
    std::uint64_t pendingSkips_ = 0;  // skipped since the last item queued
    std::uint64_t skipped_ = 0;
};

// The pane's line for a run of skipped entries.
std::string SkippedLinesText(std::uint64_t count, const std::string& logPath);
