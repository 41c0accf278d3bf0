#include "engine/EventHub.h"


struct EventHub::Subscription {
    IEventSubscriber* subscriber = nullptr;
    std::size_t capacity = 0;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<EngineEvent> queue;
    bool stopping = false;
    bool busy = false;
    std::uint64_t dropped = 0;
    std::thread thread;

    void Run() {
        subscriber->OnSubscriberStart();
        std::unique_lock<std::mutex> lock(mutex);
        busy = false;  // set by Subscribe: the start counts as work for Flush
        if (queue.empty()) idle.notify_all();
        for (;;) {
            wake.wait(lock, [this] { return stopping || !queue.empty(); });
            if (queue.empty()) break;  // stopping, and everything delivered
            EngineEvent event = std::move(queue.front());
            queue.pop_front();
            busy = true;
            lock.unlock();
            subscriber->OnEngineEvent(event);
            lock.lock();
            busy = false;
            if (queue.empty()) idle.notify_all();
        }
        idle.notify_all();
    }

    void Offer(const EngineEvent& event) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping) return;
            if (queue.size() >= capacity) {
                ++dropped;
                return;
            }
            queue.push_back(event);
        }
        wake.notify_one();
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        wake.notify_one();
        if (thread.joinable()) thread.join();
    }
};

EventHub::~EventHub() {
    std::vector<std::shared_ptr<Subscription>> all;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        all.swap(subscriptions_);
    }
    for (auto& s : all) s->Stop();
}

void EventHub::Subscribe(IEventSubscriber* subscriber, std::size_t capacity) {
    auto s = std::make_shared<Subscription>();
    s->subscriber = subscriber;
    s->capacity = capacity == 0 ? 1 : capacity;
    s->busy = true;
    s->thread = std::thread([raw = s.get()] { raw->Run(); });
    std::lock_guard<std::mutex> lock(mutex_);
    subscriptions_.push_back(std::move(s));
}

void EventHub::Unsubscribe(IEventSubscriber* subscriber) {
    std::shared_ptr<Subscription> found;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = subscriptions_.begin(); it != subscriptions_.end(); ++it) {
            if ((*it)->subscriber == subscriber) {
                found = *it;
                subscriptions_.erase(it);
                break;
            }
        }
    }
    if (found) found->Stop();
}

void EventHub::Publish(const EngineEvent& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& s : subscriptions_) s->Offer(event);
}

std::uint64_t EventHub::Dropped(const IEventSubscriber* subscriber) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& s : subscriptions_) {
        if (s->subscriber != subscriber) continue;
        std::lock_guard<std::mutex> inner(s->mutex);
        return s->dropped;
    }
    return 0;
}

void EventHub::Flush() {
    std::vector<std::shared_ptr<Subscription>> all;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        all = subscriptions_;
    }
    for (auto& s : all) {
        std::unique_lock<std::mutex> lock(s->mutex);
        s->idle.wait(lock, [&] { return s->queue.empty() && !s->busy; });
    }
}
