#include "radio/Commands.h"

#include <cmath>
#include <cstdio>

#include "common/CivilDate.h"
#include "common/Events.h"
#include "common/Globals.h"
#include "common/LogLine.h"
#include "common/Messages.h"
#include "engine/CollectorContext.h"
#include "platform/Clock.h"
#include "radio/Frame.h"
#include "radio/SerialPort.h"

namespace {

// Frame building in txBuffer, step by step as the senders append.
void BeginFrame(CollectorContext& ctx, std::uint8_t destination, std::uint8_t type) {
    ctx.txBuffer[0] = FRAME_START_1;
    ctx.txBuffer[1] = FRAME_START_2;
    ctx.txBuffer[2] = COLLECTOR_ID;
    ctx.txBuffer[3] = destination;
    ctx.txBuffer[4] = 0;
    ctx.txBuffer[5] = 0;
    ctx.txBuffer[6] = 0;
    ctx.txBuffer[7] = type;
    ctx.txLength = 8;
}

void Append(CollectorContext& ctx, std::uint8_t byte) {
    // Every frame the collector builds fits: the largest is the echo of 1000.
    if (ctx.txLength + 3 < static_cast<std::int32_t>(TX_BUFFER_SIZE)) {
        ctx.txBuffer[ctx.txLength++] = byte;
    }
}

void FinishAndSend(CollectorContext& ctx) {
    const std::uint16_t n = static_cast<std::uint16_t>(ctx.txLength);
    WriteLe16(ctx.txBuffer + 5, static_cast<std::uint16_t>(n + 3));
    WriteLe16(ctx.txBuffer + n, ComputeChecksum(ctx.txBuffer, n));
    ctx.txBuffer[n + 2] = FRAME_END;
    ctx.txLength = n + 3;
    RadioPort().Write(ctx.txBuffer, static_cast<std::size_t>(ctx.txLength));
    SendWindowMessage(scopeWindow.load(), WM_LOG_COLLECT_BYTES,
                      static_cast<WPARAM>(ctx.txLength), reinterpret_cast<LPARAM>(ctx.txBuffer));
}

// Day number of 30 December 1899 counted like DaysFromCivil (from 1970-01-01).
constexpr std::int64_t kOleEpochDays = -25569;

}  // namespace

bool DateTimeToOleDate(int year, int month, int day, int hour, int minute, int second,
                       double* oleDate) {
    if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1 || hour < 0 ||
        hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
        return false;
    }
    static const int daysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int limit = daysInMonth[month - 1] + (month == 2 && leap ? 1 : 0);
    if (day > limit) return false;
    const std::int64_t days =
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
        kOleEpochDays;
    const double fraction = (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
    // Dates before the epoch count the time of day away from zero.
    *oleDate = days >= 0 ? static_cast<double>(days) + fraction
                         : static_cast<double>(days) - fraction;
    return true;
}

bool OleDateToDateTime(double oleDate, int* year, int* month, int* day, int* hour, int* minute,
                       int* second) {
    if (!std::isfinite(oleDate) || oleDate < -657434.0 || oleDate > 2958465.99999) return false;
    double whole = std::trunc(oleDate);
    double fraction = std::fabs(oleDate - whole);
    long long seconds = std::llround(fraction * 86400.0);
    if (seconds >= 86400) {
        seconds -= 86400;
        whole += oleDate >= 0 ? 1.0 : -1.0;
    }
    CivilFromDays(static_cast<std::int64_t>(whole) + kOleEpochDays, year, month, day);
    *hour = static_cast<int>(seconds / 3600);
    *minute = static_cast<int>((seconds / 60) % 60);
    *second = static_cast<int>(seconds % 60);
    return true;
}

void ComputeAckTimeBytes(std::time_t now, std::uint8_t out[6]) {
    int year = -1, month = -1, day = -1, hour = -1, minute = -1, second = -1;
    std::tm local{};
    bool ok = localtime_r(&now, &local) != nullptr;
    if (ok) {
        const int y = local.tm_year + 1900, mo = local.tm_mon + 1, d = local.tm_mday;
        // A leap second (60) has no OLE date: it fails the round trip.
        const int h = local.tm_hour, mi = local.tm_min, s = local.tm_sec;
        double ole = 0;
        int y2, mo2, d2, h2, mi2, s2;
        ok = DateTimeToOleDate(y, mo, d, h, mi, s, &ole) &&
             OleDateToDateTime(ole, &y2, &mo2, &d2, &h2, &mi2, &s2) && y2 == y && mo2 == mo &&
             d2 == d && h2 == h && mi2 == mi && s2 == s;
        if (ok) {
            year = y;
            month = mo;
            day = d;
            hour = h;
            minute = mi;
            second = s;
        }
    }
    out[0] = static_cast<std::uint8_t>(hour);
    out[1] = static_cast<std::uint8_t>(minute);
    out[2] = static_cast<std::uint8_t>(second);
    out[3] = static_cast<std::uint8_t>(month);
    out[4] = static_cast<std::uint8_t>(day);
    out[5] = static_cast<std::uint8_t>(year - 2000);
}

void SendProceedToTransmit(CollectorContext& ctx, std::uint8_t siteId, std::uint8_t blockCount,
                           std::uint32_t blockSize) {
    BeginFrame(ctx, siteId, PT_PROCEED);
    Append(ctx, blockCount);
    Append(ctx, static_cast<std::uint8_t>(blockSize & 0xFF));
    Append(ctx, static_cast<std::uint8_t>((blockSize >> 8) & 0xFF));
    FinishAndSend(ctx);
    LogLine(COLOUR_PURPLE, "Sending \"Proceed to Transmit\" to SiteID = %d \n",
            static_cast<int>(siteId));
}

void SendCancel(CollectorContext& ctx, std::uint8_t siteId) {
    BeginFrame(ctx, siteId, PT_CANCEL);
    Append(ctx, 1);
    FinishAndSend(ctx);
    LogLine(COLOUR_PURPLE, "Sending CANCEL to SiteID = %d \n", static_cast<int>(siteId));
}

void SendAck(CollectorContext& ctx, std::uint8_t siteId, std::uint8_t trackNumber) {
    std::uint8_t clock[6];
    ComputeAckTimeBytes(Clock().Now(), clock);
    BeginFrame(ctx, siteId, PT_ACK);
    Append(ctx, 0);
    Append(ctx, trackNumber);
    for (std::uint8_t b : clock) Append(ctx, b);
    FinishAndSend(ctx);
    LogLine(COLOUR_PURPLE, "Sending ACK to SiteID = %d TrackNum = %d\n", static_cast<int>(siteId),
            static_cast<int>(trackNumber));
}

void SendSubstitute(CollectorContext& ctx, std::uint8_t siteId) {
    BeginFrame(ctx, siteId, PT_SUBSTITUTE);
    Append(ctx, 0);
    const std::int32_t countAt = ctx.txLength;
    Append(ctx, 0);
    std::uint8_t missing = 0;
    for (std::uint8_t n = 1; n <= SUBSTITUTE_LAST_BLOCK; ++n) {
        if (ctx.blockMap[n] == 0) {
            Append(ctx, n);
            ++missing;
        }
    }
    ctx.txBuffer[countAt] = missing;
    FinishAndSend(ctx);
    LogLine(COLOUR_PURPLE, "Sending \"Substitude\" to SiteID = %d\n", static_cast<int>(siteId));
}

void SendBusy(CollectorContext& ctx, std::uint8_t siteId) {
    BeginFrame(ctx, siteId, PT_BUSY);
    Append(ctx, 30);
    FinishAndSend(ctx);
}

void SendHoldOff(CollectorContext& ctx, std::uint8_t siteId, std::uint8_t holdOff) {
    BeginFrame(ctx, siteId, PT_HOLD_OFF);
    Append(ctx, holdOff);
    FinishAndSend(ctx);
}

void SendEcho(CollectorContext& ctx) {
    std::int32_t length = echoLength.load();
    if (length < 10 || length > 1000) {
        length = 200;
        echoLength.store(200);
    }
    const std::uint8_t site = echoSiteId.load();
    BeginFrame(ctx, site, PT_ECHO);
    Append(ctx, 1);
    Append(ctx, static_cast<std::uint8_t>(length & 0xFF));
    Append(ctx, static_cast<std::uint8_t>((length >> 8) & 0xFF));
    for (std::int32_t i = 0; i <= length; ++i) {
        char group[8];
        std::snprintf(group, sizeof group, "%3d . ", (100 + i) % 256);
        for (int k = 0; k < 6; ++k) Append(ctx, static_cast<std::uint8_t>(group[k]));
    }
    FinishAndSend(ctx);
    LogLine(COLOUR_PURPLE, "Sending \"ECHO\" to SiteID = %d \n", static_cast<int>(site));
    PublishSiteEvent(EventKind::EchoSent, site, length);
    const WindowHandle dialog = echoDialogWindow.load();
    if (dialog != 0) {
        char text[128];
        std::snprintf(text, sizeof text, "Sending \"ECHO\" to SiteID = %d \n",
                      static_cast<int>(site));
        SendWindowMessage(dialog, WM_ECHO_TEXT, 0, reinterpret_cast<LPARAM>(text));
    }
}
