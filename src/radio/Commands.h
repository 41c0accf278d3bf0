#pragma once
// The packets the collector sends. Each is built in txBuffer, written to the
// radio port, shown to the serial scope and, for most, logged in purple.
#include <cstdint>
#include <ctime>

struct CollectorContext;

void SendProceedToTransmit(CollectorContext& ctx, std::uint8_t siteId, std::uint8_t blockCount,
                           std::uint32_t blockSize);
void SendCancel(CollectorContext& ctx, std::uint8_t siteId);
void SendAck(CollectorContext& ctx, std::uint8_t siteId, std::uint8_t trackNumber);
void SendSubstitute(CollectorContext& ctx, std::uint8_t siteId);
void SendBusy(CollectorContext& ctx, std::uint8_t siteId);
void SendHoldOff(CollectorContext& ctx, std::uint8_t siteId, std::uint8_t holdOff);
// Sends the echo test to echoSiteId; corrects echoLength outside 10..1000 to 200.
void SendEcho(CollectorContext& ctx);

// The six clock bytes of an ACK (hour, minute, second, month, day, year-2000)
// for the calendar time `now`, converted to local time. When the conversion
// fails, or the date does not survive a round trip through an OLE automation
// date, the bytes are FF FF FF FF FF 2F.
void ComputeAckTimeBytes(std::time_t now, std::uint8_t out[6]);

// OLE automation date helpers: days since 30 December 1899, the fraction
// the time of day. The conversion from a date accepts years 100 to 9999.
bool DateTimeToOleDate(int year, int month, int day, int hour, int minute, int second,
                       double* oleDate);
bool OleDateToDateTime(double oleDate, int* year, int* month, int* day, int* hour,
                       int* minute, int* second);

// Highest block number listed by "Substitude" (the transfer may announce up to 20).
constexpr std::uint8_t SUBSTITUTE_LAST_BLOCK = 20;
