#include "engine/HistoryRecorder.h"

#include <malloc.h>

#include <chrono>
#include <ctime>
#include <map>
#include <optional>
#include <set>
#include <cstdio>

#include "engine/JournalSiteData.h"
#include "engine/PointTrends.h"
#include "engine/ReportRestore.h"
#include "records/TrainHistory.h"
#include "records/TrainReport.h"

namespace {
constexpr auto kProgressEvery = std::chrono::seconds(2);
// Live trains kept for their alarms while the history cannot be written.
constexpr std::size_t kMostUnindexed = 2000;
}

std::string CatchUpProgressLine(int done, int total) {
    char line[96];
    std::snprintf(line, sizeof line, "Train history: %d of %d report files indexed (%d%%)", done,
                  total, total > 0 ? static_cast<int>(100LL * done / total) : 100);
    return line;
}

HistoryRecorder::HistoryRecorder(const CallerRegistry& callers, Notice notice)
    : callers_(callers), dataFolder_(callers.Folder()), notice_(std::move(notice)),
      events_(dataFolder_, [this](const std::string& line) {
          if (notice_) notice_(line, true);
      }) {}

std::vector<SiteInfo> HistoryRecorder::Sites() const {
    const CallerTable table = callers_.Snapshot();
    return RegistrySites(table.data(), table.size());
}

HistoryRecorder::~HistoryRecorder() = default;

void HistoryRecorder::Stop() {
    stopping_.store(true);
    std::lock_guard<std::mutex> lock(mutex_);
    if (history_) history_->Cancel();
}

bool HistoryRecorder::Open() {
    std::string replaced, why, keptAs;
    auto opened = TrainHistory::OpenForWriting(HistoryPath(dataFolder_), &replaced, &why, &keptAs);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        history_ = std::move(opened);
        if (history_ && stopping_.load()) history_->Cancel();
        if (history_) history_->SetAlarmMaker(HistoryAlarmMaker(rules_));
    }
    if (!replaced.empty() && notice_)
        notice_("Train history: " + HistoryPath(dataFolder_) + " was replaced (" + replaced +
                    "; the old file is kept as " +
                    (keptAs.empty() ? std::string(HISTORY_FILE_NAME) + ".replaced"
                                    : keptAs.substr(keptAs.rfind('/') + 1)) +
                    "); it is rebuilt from the report files",
                false);
    if (!history_) {
        Failed(why);
        return false;
    }
    return true;
}

void HistoryRecorder::OnSubscriberStart() {
    // The alarm rules and command, read once: a change is taken at the next start.
    std::vector<std::string> warnings;
    rules_ = LoadAlarmRules(dataFolder_ + SETTINGS_FILE_NAME, &warnings);
    if (notice_)
        for (const std::string& w : warnings) notice_("ERROR: " + w, true);
    if (!rules_.command.empty()) alarmCommand_ = std::make_unique<AlarmCommand>(AlarmCommandSettingsOf(rules_), notice_);
    if (Open()) CatchUp(false);
    // Reports the journal holds a train for that are gone or unreadable
    // (asked of this recorder's own connection: one more, closed while this
    // one holds the file, would leave its descriptor open until the end).
    std::set<std::string> unreadable;
    if (history_) {
        for (std::string& file : history_->SkippedFiles()) unreadable.insert(std::move(file));
    }
    const std::string line = ReportsNotInPlaceLine(ReportsNotInPlace(dataFolder_, false, unreadable));
    if (!line.empty() && notice_) notice_("ERROR: " + line, true);
    JournalSites(static_cast<std::int64_t>(std::time(nullptr)));
}

void HistoryRecorder::JournalSites(std::int64_t now) {
    events_.Sites(BuildSiteRows(callers_.Snapshot(), nullptr, history_.get(), now), now);
}

void HistoryRecorder::CatchUp(bool quiet) {
    const auto started = std::chrono::steady_clock::now();
    auto lastLine = started;
    bool announced = false;
    const auto progress = [&](int done, int total) {
        if (quiet) return;
        const auto now = std::chrono::steady_clock::now();
        if (!announced) {
            notice_("Train history: indexing " + std::to_string(total) + " report files", false);
            announced = true;
            lastLine = now;
        } else if (now - lastLine >= kProgressEvery || done == total) {
            notice_(CatchUpProgressLine(done, total), false);
            lastLine = now;
        }
    };
    const auto damaged = [&](const std::string& file, const std::string& why) {
        if (notice_)
            notice_("ERROR: Train history: report file " + dataFolder_ + REPORT_FOLDER + "/" + file +
                        " skipped: " + why,
                    true);
    };
    std::string why;
    const CatchUpResult r = history_->CatchUp(dataFolder_ + REPORT_FOLDER, Sites(),
                                              notice_ ? TrainHistory::Progress(progress) : nullptr,
                                              damaged, &why, JournalSiteDataLookup(dataFolder_));
    if (!r.ok) {
        Failed(why);
        return;
    }
    failing_ = false;
    // The catch-up's file lists are gone: give their memory back.
    ::malloc_trim(0);
    if (changed_ && r.indexed + r.removed + r.siteDataFilled > 0) changed_();
    if (announced && notice_) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        char line[128];
        std::snprintf(line, sizeof line, "Train history: %d report files indexed in %.1f s", r.indexed,
                      seconds);
        notice_(line, false);
    }
}

void HistoryRecorder::Failed(const std::string& why) {
    if (failing_) return;  // told once
    failing_ = true;
    if (notice_)
        notice_("ERROR: Train history " + HistoryPath(dataFolder_) + " could not be written (" + why +
                    "); reports are still written and the history catches up later",
                true);
}

void HistoryRecorder::FileChanged() {
    if (history_ && history_->IsCurrentFile()) return;  // made by this recorder
    const std::string path = HistoryPath(dataFolder_);
    const bool gone = !IdentityOf(path).exists;
    if (history_) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            history_.reset();
        }
        siteCountsRead_ = false;  // what this recorder counted is stored again at the next event
        // The WAL files at the path were the old file's: never laid over another.
        TrainHistory::RemoveWalFiles(path);
    }
    if (!Open()) return;
    CatchUp(true);
    if (!notice_) return;
    const std::int64_t trains = history_->CountTrains(TrainFilter{});
    notice_("Train history: " + path + (gone ? " was deleted" : " was replaced by another file") +
                " while the collector ran; made again from the report files (" + std::to_string(trains) +
                " trains)",
            false);
}

void HistoryRecorder::CountSiteEvent(const EngineEvent& event) {
    if (event.siteId == 0 || !history_) return;
    if (!siteCountsRead_) {
        for (const SiteDayCounts& h : history_->SiteCounts())
            siteCounts_[h.radioId] = SiteBoard::Counts{h.lastHeard, h.lastPowerup, h.day, h.retried, h.givenUp, h.frameErrors};
        siteCountsRead_ = true;
    }
    SiteBoard::Counts& c = siteCounts_[event.siteId];
    if (!SiteBoard::Fold(c, event)) return;
    // A count that cannot be stored now is only a count: the board has it.
    history_->StoreSiteCounts(SiteDayCounts{event.siteId, c.day, c.retried, c.givenUp, c.frameErrors, c.lastHeard,
                                            c.lastPowerup},
                              nullptr);
}

void HistoryRecorder::OnEngineEvent(const EngineEvent& event) {
    if (event.kind == EventKind::HistoryFileChanged) {
        FileChanged();
        return;
    }
    CountSiteEvent(event);
    if (event.kind == EventKind::PowerupRegistered || event.kind == EventKind::PortLost ||
        event.kind == EventKind::PortBack || event.kind == EventKind::TransferGivenUp ||
        event.kind == EventKind::TrainReported) {
        std::map<int, int> siteNumbers;
        for (const SiteInfo& s : Sites()) siteNumbers[s.radioId] = s.siteNumber;
        events_.OnEngineEvent(event, siteNumbers);
    }
    // A Powerup may bring a site or its registry data: looked at at once.
    if (events_.SitesDue(event.time) || event.kind == EventKind::PowerupRegistered) JournalSites(event.time);
    if (event.kind != EventKind::TrainReported) return;
    if ((!history_ && !Open()) || !IndexLive(event)) {
        // Its alarms are told once the history can be written again (the
        // catch-up that brings its row in does not tell them).
        if (unindexed_.size() < kMostUnindexed) unindexed_.push_back(event);
        return;
    }
    if (failing_) CatchUp(true);  // fill in what the failure left out
    // Trains reported while the history could not be written: indexed by
    // the catch-up, their alarms are told now. The history takes writes
    // again, so one that still fails is a report gone or unreadable: left.
    std::vector<EngineEvent> waiting;
    waiting.swap(unindexed_);
    for (const EngineEvent& e : waiting) IndexLive(e, false);
    if (changed_) changed_();
    // What the train's rows and alarms took goes back: the collector's
    // memory stays flat however long it runs.
    ::malloc_trim(0);
}

bool HistoryRecorder::IndexLive(const EngineEvent& event, bool tellFailure) {
    // What the site sent beyond the report, from the train's journal
    // record (none when the journal could not be written).
    SiteData site;
    const bool haveSite = ReadSiteData({event.journalFile, event.journalOffset}, &site, nullptr);
    std::string why;
    std::vector<AlarmRow> added;
    if (!history_->IndexReport(event.reportPath, event.siteId, LocalTimeText(event.time),
                               Sites(), &why, haveSite ? &site : nullptr, &added)) {
        if (tellFailure) Failed(why);
        return false;
    }
    // Trend alarms with the trains of the point's other sites on the line.
    const std::string file = event.reportPath.substr(event.reportPath.rfind('/') + 1);
    std::map<std::int64_t, std::string> trendSteps;
    const std::size_t own = added.size();  // the alarms of this train; trend alarms may be of others
    if (!RaisePointTrends(*history_, file, Sites(), rules_, &added, &why, &trendSteps) && notice_)
        notice_("ERROR: Train history: the trend alarms of " + file + " could not be stored (" + why + ")", true);
    std::optional<TrainRow> thisTrain;
    for (std::size_t i = 0; i < added.size(); ++i) {
        const AlarmRow& alarm = added[i];
        const auto steps = trendSteps.find(alarm.id);
        const std::string stepsJson = steps == trendSteps.end() ? "" : steps->second;
        if (i < own) {
            events_.Alarm(alarm, event.journalFile, event.journalOffset, event.time, stepsJson);
        } else {
            // A trend alarm goes with its own train, wherever that is in the journal.
            if (!thisTrain || thisTrain->id != alarm.trainId) thisTrain = history_->Train(alarm.trainId);
            if (thisTrain && thisTrain->file == file)
                events_.Alarm(alarm, event.journalFile, event.journalOffset, event.time, stepsJson);
            else if (thisTrain && !thisTrain->journalFile.empty())
                events_.Alarm(alarm, thisTrain->journalFile, static_cast<std::uint64_t>(thisTrain->journalOffset),
                              event.time, stepsJson);
        }
        if (alarmListener_) alarmListener_(alarm);
        if (alarmCommand_) alarmCommand_->Run(alarm);
    }
    return true;
}
