#pragma once
// The train report file "Z918E/<date>_<time>.GEM.HBD.<number>.txt": DEM, HBI
// and ECR records, RRE/HBD/HWD records per axle, SIM records and the EOC
// record with the number of characters before it. Every LF of a record is
// stored as CR LF.
#include <cstdint>
#include <string>

#include "common/Output.h"
#include "common/TrainRecord.h"

constexpr const char* REPORT_FOLDER = "Z918E";

// True when a report of these bytes stands at `namedPath` or at one of its
// "-2", "-3", ... names (as far as they are taken, in turn); `foundPath`,
// when given, receives the path it stands at.
bool TrainReportInPlace(const std::string& namedPath, const std::string& bytes,
                        std::string* foundPath = nullptr);

// Writes the report under `dataFolder` (with a trailing "/"). False when the
// file could not be created or written (one dark-red "ERROR" line naming
// the file is logged on `log` then). The file appears whole or not at all.
// A file of the same name holding the same bytes (the train received again)
// is replaced; one holding another train's report is kept, and the report
// goes to the first of "<name>-2.txt", "<name>-3.txt" ... that is free or
// holds the same bytes, with one dark-red line saying so. `writtenPath`, when
// given, receives the path written (or tried); `why`, when given, the
// system's reason for a failure ("Permission denied", "No space left on
// device" ...).
bool WriteTrainReport(const std::string& dataFolder, const std::uint8_t* header,
                      const AxleSlot* axleSlots, IOutput& log, std::string* writtenPath = nullptr,
                      std::string* why = nullptr);

// Stores a report's bytes as WriteTrainReport does, without a line: at
// `namedPath`, or beside it as "<name>-2.txt" ... when another train's report
// stands there. The folder of `namedPath` is created when missing.
// `writtenPath` receives the path written (or tried), `why` the reason of a
// failure.
bool StoreTrainReport(const std::string& namedPath, const std::string& bytes,
                      std::string* writtenPath, std::string* why = nullptr);

// The file name inside the report folder, e.g. "20240506_0708.GEM.HBD.00417.txt"
// (a second train of that name is written as "...00417-2.txt").
std::string TrainReportFileName(const std::uint8_t* header);

// The full path: the data folder, the report folder and the file name.
std::string TrainReportPath(const std::string& dataFolder, const std::uint8_t* header);

// The bytes of the report as stored (CR LF already in place).
std::string FormatTrainReport(const std::uint8_t* header, const AxleSlot* axleSlots);

// The text of a system message code 1..51; "" for any other code.
const char* SystemMessageText(int code);
// The code whose text this is; 0 for a text of no code (the empty text of
// the codes 52..255 included).
int SystemMessageCode(const std::string& text);
