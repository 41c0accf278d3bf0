#pragma once
// Delivers one collector's events (common/Events.h) to subscribers without
// ever holding the publisher up: each subscriber has its own bounded queue and
// its own thread that drains it. A full queue drops the new event and counts
// it, so a subscriber that is slow (or stuck in a database lock) costs the
// worker one short lock per event and nothing more.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/Events.h"

class IEventSubscriber {
public:
    virtual ~IEventSubscriber() = default;
    // Called first on the subscriber's own thread, before any event.
    virtual void OnSubscriberStart() {}
    // Called on the subscriber's own thread, one event at a time, in order.
    virtual void OnEngineEvent(const EngineEvent& event) = 0;
};

constexpr std::size_t EVENT_QUEUE_DEFAULT = 4096;

class EventHub {
public:
    EventHub() = default;
    ~EventHub();
    EventHub(const EventHub&) = delete;
    EventHub& operator=(const EventHub&) = delete;

    // Starts the subscriber's thread. The subscriber must stay alive until
    // Unsubscribe (or the hub's end) has returned.
    void Subscribe(IEventSubscriber* subscriber, std::size_t capacity = EVENT_QUEUE_DEFAULT);
    // Delivers what is queued, then stops the subscriber's thread.
    void Unsubscribe(IEventSubscriber* subscriber);

    void Publish(const EngineEvent& event);

    // Events dropped for this subscriber because its queue was full.
    std::uint64_t Dropped(const IEventSubscriber* subscriber) const;
    // Waits until every subscriber has started and every queue is empty and
    // its last event handled (tests).
    void Flush();

private:
    struct Subscription;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Subscription>> subscriptions_;
};
