#include "engine/ScopeQueue.h"

#include <utility>

void ScopeQueue::SetWake(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(mutex_);
    wake_ = std::move(wake);
}

void ScopeQueue::Push(ScopeItem item, bool mayDrop) {
    std::lock_guard<std::mutex> lock(mutex_);
    {
        if (mayDrop && items_.size() >= capacity_) {
            ++pendingSkips_;
            ++skipped_;
            return;
        }
        const bool wasEmpty = items_.empty();
        if (pendingSkips_ > 0) {
            ScopeItem gap;
            gap.kind = ScopeItem::Kind::Skipped;
            gap.skipped = pendingSkips_;
            items_.push_back(std::move(gap));
            pendingSkips_ = 0;
        }
        items_.push_back(std::move(item));
        if (wasEmpty && wake_) wake_();
    }
}

void ScopeQueue::Show(const ScopeEntry& entry) {
    ScopeItem item;
    item.entry = entry;
    Push(std::move(item), true);
}

void ScopeQueue::EchoLine(const std::string& text) {
    ScopeItem item;
    item.kind = ScopeItem::Kind::Echo;
    item.echo = text;
    Push(std::move(item), false);
}

std::size_t ScopeQueue::Drain(std::vector<ScopeItem>* out, std::size_t max) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    while (n < max && !items_.empty()) {
        out->push_back(std::move(items_.front()));
        items_.pop_front();
        ++n;
    }
    if (items_.empty() && pendingSkips_ > 0 && n < max) {
        ScopeItem gap;
        gap.kind = ScopeItem::Kind::Skipped;
        gap.skipped = pendingSkips_;
        out->push_back(std::move(gap));
        pendingSkips_ = 0;
        ++n;
    }
    return n;
}

std::uint64_t ScopeQueue::Skipped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return skipped_;
}

std::size_t ScopeQueue::Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.size();
}

std::string SkippedLinesText(std::uint64_t count, const std::string& logPath) {
    return "... " + std::to_string(count) + (count == 1 ? " line" : " lines") +
           " skipped here while the scope fell behind; the day's log " + logPath +
           " has every line\n";
}
