#pragma once
// The packets the collector sends. Each is built in the link's txBuffer,
// written to its port, shown to the serial scope and logged in purple. A
// frame that does not fit is logged and not sent.
#include <cstdint>
#include <ctime>

class RadioLink;

void SendProceedToTransmit(RadioLink& link, std::uint8_t siteId, std::uint8_t blockCount,
                           std::uint32_t blockSize);
void SendCancel(RadioLink& link, std::uint8_t siteId);
void SendAck(RadioLink& link, std::uint8_t siteId, std::uint8_t trackNumber);
// Lists every block 1..20 whose blockMap entry is 0 (missing).
void SendSubstitute(RadioLink& link, std::uint8_t siteId, const std::uint8_t* blockMap);
void SendBusy(RadioLink& link, std::uint8_t siteId);
void SendHoldOff(RadioLink& link, std::uint8_t siteId, std::uint8_t holdOff);
// Sends the echo test of `length` groups to the site; a length outside
// 10..1000 is sent as 200. Returns the length sent.
std::int32_t SendEcho(RadioLink& link, std::uint8_t siteId, std::int32_t length);

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
