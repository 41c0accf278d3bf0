#include "common/Events.h"

#include <atomic>
#include <ctime>
#include <utility>

namespace {
std::atomic<EventPublisher> publisher{nullptr};
}

void SetEventPublisher(EventPublisher p) { publisher.store(p); }

void PublishEvent(EngineEvent event) {
    const EventPublisher p = publisher.load();
    if (p == nullptr) return;
    if (event.time == 0) event.time = static_cast<std::int64_t>(std::time(nullptr));
    p(event);
}

void PublishSiteEvent(EventKind kind, std::uint8_t siteId, std::int32_t count) {
    if (publisher.load() == nullptr) return;  // nothing is built for nobody
    EngineEvent event;
    event.kind = kind;
    event.siteId = siteId;
    event.count = count;
    PublishEvent(std::move(event));
}

const char* EventKindName(EventKind kind) {
    switch (kind) {
        case EventKind::PowerupRegistered: return "Powerup";
        case EventKind::TrainReported: return "Train";
        case EventKind::ReportFailed: return "Report failed";
        case EventKind::TransferComplete: return "Transfer complete";
        case EventKind::TransferRetried: return "Transfer retried";
        case EventKind::TransferGivenUp: return "Transfer given up";
        case EventKind::ShortStream: return "Short stream";
        case EventKind::OverAnnounced: return "Over-announced";
        case EventKind::FrameError: return "Frame error";
        case EventKind::PortLost: return "Port lost";
        case EventKind::PortBack: return "Port back";
        case EventKind::EchoSent: return "Echo sent";
    }
    return "?";
}
