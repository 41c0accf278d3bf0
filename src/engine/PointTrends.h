#pragma once
// Trend alarms at a collection point that serves several sites of one line:
// a train just indexed is followed back through the trains its history
// holds from the point's other sites (same track, mileposts from the
// registry, received within a run of it), and a bearing whose reading
// above its side's median rose from site to site gets a `trend` alarm,
// stored with the train of the site that raised it (Alarms.h NewPassTrends,
// docs/alarms.md "Trends across detectors").
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/Alarms.h"
#include "records/TrainHistory.h"

// The trend alarms the train of report file `reportFile` (its name in the
// report folder, indexed already) makes with the trains around it, added to
// the history (TrainHistory::AddAlarms); the new ones are appended to
// `added` when given, and each one's steps site by site go to `trendSteps`
// (by alarm id, as JSON: [{"site":12,"relative":38},...]) when given. An
// alarm may belong to an earlier train (a site that sent its train late).
// `sites`: the registry. False, with the reason, when the history could not
// be written.
bool RaisePointTrends(TrainHistory& history, const std::string& reportFile, const std::vector<SiteInfo>& sites,
                      const AlarmRules& rules, std::vector<AlarmRow>* added, std::string* why,
                      std::map<std::int64_t, std::string>* trendSteps = nullptr);

// A trend's steps as JSON: [{"site":12,"relative":38},...].
std::string TrendStepsJson(const std::vector<TrendStep>& steps);

// The alarm as the history stores it (kind name, side name, text).
AlarmFields AlarmFieldsOf(const Alarm& alarm, const AlarmRules& rules);
