#pragma once
// The train history as text: tables for people, CSV and JSON for scripts.
// Shared by the headless collector's "trains" command and kestova-trains.
#include <string>
#include <vector>

#include "records/TrainHistory.h"

std::string FormatTrainTable(const std::vector<TrainRow>& rows);
std::string FormatTrainCsv(const std::vector<TrainRow>& rows);
std::string FormatTrainJson(const std::vector<TrainRow>& rows);

std::string FormatAxleTable(const TrainRow& train, const std::vector<ReportAxle>& axles);
std::string FormatAxleCsv(const std::vector<ReportAxle>& axles);
std::string FormatAxleJson(const TrainRow& train, const std::vector<ReportAxle>& axles);

// A JSON string literal.
std::string JsonString(const std::string& text);
