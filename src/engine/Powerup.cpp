#include "engine/Powerup.h"

#include <cstring>
#include <string>

#include "common/LogLine.h"
#include "radio/CollectorContext.h"
#include "radio/Commands.h"
#include "records/Callers.h"

void HandlePowerup(CollectorContext& ctx) {
    const std::uint8_t id = ctx.sourceId;

    // A Powerup carries 17 payload bytes. Bytes that did not arrive read as
    // 0 (never the checksum, end byte or stale bytes behind the frame); the
    // site is still registered and acknowledged, and the operator is told.
    std::uint8_t payload[POWERUP_PAYLOAD_SIZE] = {};
    const std::size_t received = RxPayloadLength(ctx);
    std::memcpy(payload, RxPayload(ctx), received < sizeof payload ? received : sizeof payload);
    if (received < sizeof payload) {
        LogLine(COLOUR_DARK_RED,
                "ERROR: Powerup from SiteID = %d is short (%d of 17 bytes), missing bytes read as 0\n",
                static_cast<int>(id), static_cast<int>(received));
    }

    CallerEntry filled{};
    if (!RegisterCaller(id, payload, &filled)) {
        ShowMessageBox("ERROR - NOT ENOUGH SPACE FOR CALLERS");
        SendAck(ctx, id, 0);
        return;
    }
    const std::string typeName = SiteTypeName(filled.siteType);
    LogLine(COLOUR_DARK_GREEN, "Received Powerup from %s, SiteID = %d, Milepost = %d.%d\n",
            typeName.c_str(), static_cast<int>(filled.siteNumber),
            static_cast<int>(filled.milepost / 10), static_cast<int>(filled.milepost % 10));
    SendAck(ctx, id, 0);
}
