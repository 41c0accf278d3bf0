#pragma once
#include <QObject>
#include <memory>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/Collector.h"
#include "engine/HistoryRecorder.h"
#include "engine/SiteBoard.h"
#include "records/TrainHistory.h"

// The console's link to the engine's events and the train history: runs the
// history recorder and the site board, and tells the views (on the
// user-interface thread) when something changed.
class ConsoleHistory : public QObject {
    Q_OBJECT
public:
    explicit ConsoleHistory(QObject* parent = nullptr);
    ~ConsoleHistory() override;

    // The one instance while it lives (null before and after).
    static ConsoleHistory* Instance();

    // Subscribes the recorder and the board to the engine's events; the
    // recorder catches up with the report folder of `dataFolder`.
    void Start(Collector& collector);
    // Ends the subscriptions (a catch-up still running is cut short).
    void Stop();
    // Only reads the history of `dataFolder`, keeping nothing up to date
    // (benchmarks over a history made without report files).
    void ReadOnly(const std::string& dataFolder) { dataFolder_ = dataFolder; }

    const SiteBoard& Board() const { return board_; }
    // The registry the rows name their sites from (empty when read only).
    CallerTable Registry() const;
    std::string DataFolder() const { return dataFolder_; }
    // A read-only connection of its own for a view; null while there is no
    // history yet.
    std::unique_ptr<TrainHistory> OpenReader() const;
    // Hours without a sign of life before a site is marked silent: the
    // settings file's [Sites] Silent_Hours, 24 when not set.
    int SilentHours() const;
    // Acknowledges the alarms in `by`'s name (with an optional comment),
    // writing beside the running recorder; the ids done go to *done, the
    // first refusal's reason to *why. Tells the views (AlarmsChanged).
    bool Acknowledge(const std::vector<std::int64_t>& ids, const std::string& by, const std::string& comment,
                     std::vector<std::int64_t>* done, std::string* why);
    // The alarms not acknowledged yet (0 without a history).
    std::int64_t UnacknowledgedAlarms() const;

signals:
    // Something happened on the line (queued to the user-interface thread).
    void SitesChanged();
    // Rows of the history were added or changed.
    void TrainsChanged();
    // Alarms were stored or acknowledged.
    void AlarmsChanged();
    // A new alarm of a train received live (after AlarmsChanged).
    void NewAlarm(qint64 id, const QString& title, const QString& text);

private:
    // Alarms acknowledged by another program (the office through the
    // uplink, kestova-trains --ack): the history's data version, looked at
    // every kWatchMs by a reader of its own.
    void Watch();
    static constexpr int kWatchMs = 2000;
    std::unique_ptr<TrainHistory> watcher_;
    std::int64_t seenVersion_ = -1;
    std::int64_t seenOpen_ = -1;
    std::int64_t seenAll_ = -1;
    unsigned watchTicks_ = 0;

    class Relay;
    SiteBoard board_;
    std::unique_ptr<HistoryRecorder> recorder_;
    std::unique_ptr<Relay> relay_;
    std::string dataFolder_;
    Collector* collector_ = nullptr;
    bool started_ = false;
};
