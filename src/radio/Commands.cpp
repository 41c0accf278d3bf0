#include "radio/Commands.h"

#include <cmath>
#include <cstdio>

#include "common/CivilDate.h"
#include "common/Events.h"
#include "common/LogLine.h"
#include "radio/Frame.h"
#include "radio/Link.h"

namespace {

// A frame from the collector to `destination`, built in txBuffer.
FrameBuilder BeginFrame(RadioLink& link, std::uint8_t destination, std::uint8_t type) {
    return FrameBuilder(link.txBuffer, TX_BUFFER_SIZE, COLLECTOR_ID, destination, 0, type);
}

// Sends the frame and shows it to the serial scope; a frame that did not
// fit has been logged by the builder and is not sent.
void FinishAndSend(RadioLink& link, FrameBuilder& frame) {
    const std::size_t length = frame.Finish();
    if (length == 0) {
        LogLine(link.out, COLOUR_DARK_RED,
                "ERROR: Frame of %zu bytes (type %d to SiteID = %d) does not fit in %zu bytes, not built\n",
                frame.Requested(), link.txBuffer[7], link.txBuffer[3], frame.Capacity());
        return;
    }
    link.txLength = static_cast<std::int32_t>(length);
    link.port.Write(link.txBuffer, length);
    link.out.Scope(WM_LOG_COLLECT_BYTES, static_cast<WPARAM>(length),
                   reinterpret_cast<LPARAM>(link.txBuffer));
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

void SendProceedToTransmit(RadioLink& link, std::uint8_t siteId, std::uint8_t blockCount,
                           std::uint32_t blockSize) {
    FrameBuilder frame = BeginFrame(link, siteId, PT_PROCEED);
    frame.Append(blockCount);
    frame.Append(static_cast<std::uint8_t>(blockSize & 0xFF));
    frame.Append(static_cast<std::uint8_t>((blockSize >> 8) & 0xFF));
    FinishAndSend(link, frame);
    LogLine(link.out, COLOUR_PURPLE, "Sending \"Proceed to Transmit\" to SiteID = %d \n",
            static_cast<int>(siteId));
}

void SendCancel(RadioLink& link, std::uint8_t siteId) {
    FrameBuilder frame = BeginFrame(link, siteId, PT_CANCEL);
    frame.Append(1);
    FinishAndSend(link, frame);
    LogLine(link.out, COLOUR_PURPLE, "Sending CANCEL to SiteID = %d \n", static_cast<int>(siteId));
}

void SendAck(RadioLink& link, std::uint8_t siteId, std::uint8_t trackNumber) {
    std::uint8_t clock[6];
    ComputeAckTimeBytes(link.clock.Now(), clock);
    FrameBuilder frame = BeginFrame(link, siteId, PT_ACK);
    frame.Append(0);
    frame.Append(trackNumber);
    frame.Append(clock, sizeof clock);
    FinishAndSend(link, frame);
    LogLine(link.out, COLOUR_PURPLE, "Sending ACK to SiteID = %d TrackNum = %d\n", static_cast<int>(siteId),
            static_cast<int>(trackNumber));
}

void SendSubstitute(RadioLink& link, std::uint8_t siteId, const std::uint8_t* blockMap) {
    FrameBuilder frame = BeginFrame(link, siteId, PT_SUBSTITUTE);
    frame.Append(0);
    const std::size_t countAt = frame.Size();
    frame.Append(0);
    std::uint8_t missing = 0;
    for (std::uint8_t n = 1; n <= SUBSTITUTE_LAST_BLOCK; ++n) {
        if (blockMap[n] == 0) {
            frame.Append(n);
            ++missing;
        }
    }
    link.txBuffer[countAt] = missing;
    FinishAndSend(link, frame);
    LogLine(link.out, COLOUR_PURPLE, "Sending \"Substitude\" to SiteID = %d\n", static_cast<int>(siteId));
}

void SendBusy(RadioLink& link, std::uint8_t siteId) {
    FrameBuilder frame = BeginFrame(link, siteId, PT_BUSY);
    frame.Append(30);
    FinishAndSend(link, frame);
    LogLine(link.out, COLOUR_PURPLE, "Sending BUSY to SiteID = %d\n", static_cast<int>(siteId));
}

void SendHoldOff(RadioLink& link, std::uint8_t siteId, std::uint8_t holdOff) {
    FrameBuilder frame = BeginFrame(link, siteId, PT_HOLD_OFF);
    frame.Append(holdOff);
    FinishAndSend(link, frame);
    LogLine(link.out, COLOUR_PURPLE, "Sending HOLD-OFF %d to SiteID = %d\n", static_cast<int>(holdOff),
            static_cast<int>(siteId));
}

std::int32_t SendEcho(RadioLink& link, std::uint8_t site, std::int32_t length) {
    if (length < 10 || length > 1000) length = 200;
    FrameBuilder frame = BeginFrame(link, site, PT_ECHO);
    frame.Append(1);
    frame.Append(static_cast<std::uint8_t>(length & 0xFF));
    frame.Append(static_cast<std::uint8_t>((length >> 8) & 0xFF));
    for (std::int32_t i = 0; i <= length; ++i) {
        char group[8];
        std::snprintf(group, sizeof group, "%3d . ", (100 + i) % 256);
        for (int k = 0; k < 6; ++k) frame.Append(static_cast<std::uint8_t>(group[k]));
    }
    FinishAndSend(link, frame);
    LogLine(link.out, COLOUR_PURPLE, "Sending \"ECHO\" to SiteID = %d \n", static_cast<int>(site));
    PublishSiteEvent(link.out, EventKind::EchoSent, site, length);
    return length;
}
