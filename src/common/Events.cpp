#include "common/Events.h"

#include <utility>

#include "common/Output.h"

void PublishSiteEvent(IOutput& out, EventKind kind, std::uint8_t siteId, std::int32_t count) {
    EngineEvent event;
    event.kind = kind;
    event.siteId = siteId;
    event.count = count;
    out.Publish(std::move(event));
}
