#pragma once
// The journal set against the report folder: every report file the
// journal's marks name can be checked against the train the journal holds,
// and written again, byte for byte, when it is missing or damaged.
#include <set>
#include <string>
#include <vector>

#include "records/Journal.h"

enum class ReportState { Missing, Damaged };

struct JournaledReport {
    std::string name;   // inside the report folder
    JournalRef ref;
    ReportState state = ReportState::Missing;
};

// The reports the journal's marks name that are not in place: missing ones,
// and damaged ones. With `compareBytes` a report is damaged when its bytes
// are not those the journal's train gives (every file read back: slow on a
// long journal); without it, when it is one of `unreadable` (files that
// could not be read as reports).
std::vector<JournaledReport> ReportsNotInPlace(const std::string& dataFolder, bool compareBytes,
                                               const std::set<std::string>& unreadable = {});

// The same without comparing bytes, damaged being the files the data
// folder's history could not read as reports (its `skipped` table).
std::vector<JournaledReport> ReportsNotInPlace(const std::string& dataFolder);

// The report of a journaled train, as the collector wrote it.
bool JournaledReportBytes(const JournalRef& ref, std::string* bytes, std::string* why);

// Writes the report again under its name (durably). A damaged file standing
// there is kept as "<name>.damaged" (".damaged-2", ... when taken), named in
// *keptAs.
bool RestoreReport(const std::string& dataFolder, const JournaledReport& report, std::string* keptAs,
                   std::string* why);

// One line for the operator ("" when the list is empty), e.g. "2 report files
// the journal holds are missing or damaged: 20240506_0708.GEM.HBD.00417.txt
// (missing), ... (kestova-trains --restore writes them again)"; at most five
// are named.
std::string ReportsNotInPlaceLine(const std::vector<JournaledReport>& reports);
