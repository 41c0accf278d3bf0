#pragma once
// The train history as text: tables for people, CSV and JSON for scripts.
// Shared by the headless collector's "trains" command and kestova-trains.
#include <string>
#include <vector>

#include "records/TrainHistory.h"

std::string FormatTrainTable(const std::vector<TrainRow>& rows);
std::string FormatTrainCsv(const std::vector<TrainRow>& rows);
std::string FormatTrainJson(const std::vector<TrainRow>& rows);

// One train: its summary (with the alarm entries the site announced) and axles.
std::string FormatAxleTable(const TrainRow& train, const std::vector<ReportAxle>& axles,
                            const std::vector<SiteAlarmEntry>& siteAlarms = {});
std::string FormatAxleCsv(const std::vector<ReportAxle>& axles);
std::string FormatAxleJson(const TrainRow& train, const std::vector<ReportAxle>& axles,
                           const std::vector<SiteAlarmEntry>& siteAlarms = {});

// "2 (axle 5: 0x0001; axle 17: code 0x40)", "none", or "not known" when the
// history holds no site data of the train.
std::string SiteAlarmText(const TrainRow& train, const std::vector<SiteAlarmEntry>& siteAlarms);

// The alarm list (TrainHistory::ListAlarms): a table for people (control
// bytes of names and comments left out), CSV and JSON with every field.
std::string FormatAlarmTable(const std::vector<AlarmRow>& rows);
std::string FormatAlarmCsv(const std::vector<AlarmRow>& rows);
std::string FormatAlarmJson(const std::vector<AlarmRow>& rows);
// "Alarm 17 acknowledged by Ann Lind at 2026-03-01 14:03:09: car set out\n"
std::string FormatAcknowledged(const AlarmRow& alarm);

// A JSON string literal.
std::string JsonString(const std::string& text);
