#include "engine/Worker.h"

#include "common/Events.h"
#include "common/LogLine.h"
#include "engine/Collector.h"
#include "engine/HeldTrains.h"
#include "engine/Packets.h"
#include "engine/Transfer.h"
#include "radio/Commands.h"
#include "radio/Frame.h"
#include "radio/Link.h"
#include "platform/Paths.h"
#include "radio/Receiver.h"
#include "records/TrainHistory.h"

namespace {

// The cycle boundary: nothing of a frame or a transfer is in hand. Bytes of
// a frame begun on the old port are left to the receiver, which drops what
// never completes.
void SwitchPortIfAsked(Collector& c) {
    const int comNumber = c.TakePortSwitch();
    if (comNumber < 0) return;
    LogLine(c, COLOUR_DARK_RED, "Switching to Serial Port COMM %d\n", comNumber);
    c.Port().Open(static_cast<std::uint8_t>(comNumber - 1));
}

void SendEchoIfAsked(Collector& c) {
    std::uint8_t site = 0;
    std::int32_t length = 0;
    const std::uint32_t request = c.EchoPending(&site, &length);
    if (request == 0) return;
    const std::int32_t sent = SendEcho(c.Link(), site, length);
    c.EchoSent(request, site, sent);
}

// A Request to Transmit: a transfer for at most 20 blocks, else CANCEL.
void AnswerRequest(Collector& c) {
    if (TakeTransferRequest(c)) RunTrainTransfer(c);
}

}  // namespace

void WatchHistoryFile(Collector& c) {
    Collector::FileWatch& watch = c.HistoryWatch();
    const std::uint32_t now = c.Clock().TickCount();
    if (watch.started && now - watch.checkedAt < HISTORY_WATCH_MS) return;
    watch.checkedAt = now;
    const FileIdentity file = IdentityOf(HistoryPath(c.DataFolder()));
    // At the first look a missing file is told too: it may have gone
    // before the worker started looking.
    if (watch.started ? !(file == watch.seen) : !file.exists)
        PublishSiteEvent(c, EventKind::HistoryFileChanged, 0);
    watch.seen = file;
    watch.started = true;
}

bool RunCollectorCycle(Collector& c) {
    RetryHeldTrains(c);
    WatchHistoryFile(c);
    SwitchPortIfAsked(c);
    SendEchoIfAsked(c);
    RadioLink& link = c.Link();
    if (ReceiveStep(link, IDLE_PAUSE_MS) != Received::Packet) return false;
    if (!HandleSharedPacket(c) && link.header.packetType == PT_REQUEST_TO_TRANSMIT)
        AnswerRequest(c);
    ResetReceiver(link);
    return true;
}

void RunCollectorLoop(Collector& c) {
    while (!c.StopRequested()) RunCollectorCycle(c);
}
