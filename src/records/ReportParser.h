#pragma once
// Reads a train report file back: what the train history keeps of it. The
// report is checked whole (DEM first, EOC last with the right character
// count), so a cut or altered file is refused rather than half indexed.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ReportAxle {
    std::uint16_t axle = 0;     // 1-based
    std::uint16_t car = 0;      // 0 before the first car start
    bool carStart = false;
    std::uint8_t hotBoxLeft = 0;    // slot byte 0; the report prints it with a 0 behind
    std::uint8_t hotBoxRight = 0;   // slot byte 1
    std::int16_t hotWheelLeft = -1;   // 10-bit; -1 when the train has no hot-wheel data
    std::int16_t hotWheelRight = -1;
    std::uint16_t load = 0;     // the 10-bit value of the HBD record's last field
};

struct ParsedReport {
    std::uint16_t headerSiteNumber = 0;  // header bytes 2-3
    std::uint8_t track = 0;              // header byte 27
    std::string firstTime;               // "YYYY-MM-DD HH:MM:SS"
    std::string secondTime;
    std::uint16_t trainNumber = 0;
    std::uint16_t axleCount = 0;         // as the DEM record gives it
    int cars = 0;                        // RRE records
    bool hotWheels = false;
    std::vector<ReportAxle> axles;
    std::vector<int> simCodes;           // in record order; 0 = a code without a text
};

// False with a short reason when the bytes are not a whole report.
bool ParseTrainReport(std::string_view bytes, ParsedReport& out, std::string* why);

// The value a reading takes when an alarm code set it (hot box) or when it
// is at the end of its range (hot wheel).
constexpr int HOT_BOX_MAXED = 255;
constexpr int HOT_WHEEL_MAXED = 1023;
