#include "engine/Worker.h"

#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "common/Events.h"
#include "common/Globals.h"
#include "common/LogLine.h"
#include "engine/Assembly.h"
#include "engine/Powerup.h"
#include "engine/Transfer.h"
#include "platform/Clock.h"
#include "radio/CollectorContext.h"
#include "radio/Commands.h"
#include "radio/Frame.h"
#include "radio/Receiver.h"
#include "radio/SerialPort.h"
#include "records/TrainReport.h"

// The longest the worker waits for the radio when it has nothing to do; the
// first byte that arrives ends the wait.
constexpr std::uint32_t IDLE_PAUSE_MS = 500;
constexpr std::size_t ALL_IN_ONE_STREAM_OFFSET = 17;  // payload bytes 0..16 are not read

void HandleAllInOne(CollectorContext& ctx) {
    SendAck(ctx, ctx.sourceId, ctx.sequenceNumber);
    const std::size_t payload = RxPayloadLength(ctx);
    const std::size_t available =
        payload > ALL_IN_ONE_STREAM_OFFSET ? payload - ALL_IN_ONE_STREAM_OFFSET : 0;
    if (!AssembleAllInOne(ctx.trainRecord, RxPayload(ctx) + ALL_IN_ONE_STREAM_OFFSET, available))
        LogShortTrainStream(ctx.sourceId, available);  // the train is still reported
    LogUncarriedAxles(ctx.sourceId, ctx.trainRecord);
    ReportTrain(ctx, ctx.sourceId);
}

void ReportTrain(CollectorContext& ctx, std::uint8_t siteId) {
    const std::uint8_t* h = ctx.trainRecord.header;
    const bool written = WriteTrainReport(h, ctx.trainRecord.axleSlots) == 0;
    EngineEvent event;
    event.kind = written ? EventKind::TrainReported : EventKind::ReportFailed;
    event.siteId = siteId;
    event.track = h[27];
    event.trainNumber = ReadLe16(h + 5);
    event.axles = ReadLe16(h + 33);
    std::memcpy(event.firstStamp, h + 15, 6);
    std::memcpy(event.secondStamp, h + 21, 6);
    const std::size_t axles = event.axles < MAX_AXLES ? event.axles : MAX_AXLES;
    for (std::size_t i = 0; i < axles; ++i)
        if (ctx.trainRecord.axleSlots[i].bytes[5] & 0x80) ++event.cars;
    event.reportPath = TrainReportPath(h);
    PublishEvent(std::move(event));
}

void RegisterPowerup(CollectorContext& ctx) {
    HandlePowerup(ctx);
    // Payload byte 5 is the track; a short Powerup reads it as 0.
    const std::uint8_t track = RxPayloadLength(ctx) > 5 ? RxPayload(ctx)[5] : 0;
    EngineEvent event;
    event.kind = EventKind::PowerupRegistered;
    event.siteId = ctx.sourceId;
    event.track = track;
    PublishEvent(std::move(event));
}

void RequestPortSwitch(int comNumber) { portSwitchRequest.store(comNumber); }

namespace {

// The cycle boundary: nothing of a frame or a transfer is in hand. Bytes of
// a frame begun on the old port are left to the receiver, which drops what
// never completes.
void SwitchPortIfAsked() {
    const std::int32_t comNumber = portSwitchRequest.exchange(-1);
    if (comNumber < 0) return;
    LogLine(COLOUR_DARK_RED, "Switching to Serial Port COMM %d\n", static_cast<int>(comNumber));
    RadioPort().Open(static_cast<std::uint8_t>(comNumber - 1));
}

}  // namespace

bool RunCollectorCycle(CollectorContext& ctx) {
    SwitchPortIfAsked();
    if (echoRequested.load() != 0) {
        SendEcho(ctx);
        echoRequested.store(0);  // cleared after the sending, not before
    }
    if (!ReceivePacket(ctx)) {
        WaitForRadio(IDLE_PAUSE_MS);
        return false;
    }
    LogPacket(ctx);
    if (ctx.addressedToUs == 0) {
        ResetReceiver(ctx);
        WaitForRadio(IDLE_PAUSE_MS);
        return false;
    }
    switch (ctx.packetType) {
        case PT_REQUEST_TO_TRANSMIT: {
            // A request shorter than its three payload bytes reads the
            // missing ones as 0, never the checksum or end byte behind it.
            std::uint8_t request[3] = {0, 0, 0};
            const std::size_t have = RxPayloadLength(ctx) < 3 ? RxPayloadLength(ctx) : 3;
            std::memcpy(request, RxPayload(ctx), have);
            ctx.requestedBlockCount = request[0];
            ctx.requestedBlockSize = ReadLe16(request + 1);
            if (ctx.requestedBlockCount <= MAX_REQUESTED_BLOCKS) {
                RunTrainTransfer(ctx);
            } else {
                SendCancel(ctx, ctx.sourceId);
                PublishSiteEvent(EventKind::OverAnnounced, ctx.sourceId, ctx.requestedBlockCount);
            }
            break;
        }
        case PT_ALL_IN_ONE:
            HandleAllInOne(ctx);
            break;
        case PT_POWERUP:
            RegisterPowerup(ctx);
            break;
        default:
            break;
    }
    ResetReceiver(ctx);
    return true;
}

void RunCollectorLoop(CollectorContext& ctx) {
    while (workerStop.load() == 0) {
        RunCollectorCycle(ctx);
    }
}

unsigned CollectorThreadProc(StartRecord* startRecord) {
    // The context is about 23 KB: it lives on the heap for the loop's life.
    std::unique_ptr<CollectorContext> ctx(new (std::nothrow) CollectorContext{});
    if (ctx) {
        ctx->rx.lastByteTick = GetTickCount();
        RunCollectorLoop(*ctx);
    }
    if (startRecord != nullptr) startRecord->threadState.store(WORKER_ENDED);
    return 0;
}
