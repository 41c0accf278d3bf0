#pragma once
// What the site sent beyond its report, for the train history: a journaled
// train assembled as it was received, its alarm entries, slot byte 6 of its
// axles and its header, as the history's SiteData.
#include <string>

#include "records/Journal.h"
#include "records/TrainHistory.h"

// The site data of a journaled train (`train.file`, the journal file's
// path, and `train.offset` name its record).
SiteData SiteDataOfJournalTrain(const JournalTrain& train);

// Reads the record and makes its site data: false (with the reason) when
// the record cannot be read back.
bool ReadSiteData(const JournalRef& ref, SiteData* out, std::string* why);

// For a catch-up or a rebuild: the site data of the report files the data
// folder's journal marks name. The marks are read at the first question.
TrainHistory::SiteDataLookup JournalSiteDataLookup(const std::string& dataFolder);
