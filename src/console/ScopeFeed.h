#pragma once
// The way the collector's scope entries reach the console's windows: the
// worker puts them in a bounded queue (engine/ScopeQueue.h) and goes on;
// this drains the queue on the user-interface thread in batches. Entries go
// to the newest serial scope view (none: they are only in the day's log),
// echo lines to the open echo dialog, and a run the queue had to skip
// becomes one line in the scope that names the day's log, which has them.
#include <QObject>
#include <QPointer>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "engine/ScopeQueue.h"

class CDlgCmndEcho;
class CFViewSerialScope;

class ScopeFeed : public QObject {
    Q_OBJECT
public:
    // The most items one drain shows before it lets the event loop run.
    static constexpr std::size_t BATCH = 2048;

    // `capacity`: the most entries the queue holds for a pane that falls
    // behind.
    explicit ScopeFeed(QObject* parent = nullptr, std::size_t capacity = SCOPE_QUEUE_DEFAULT);
    // No wake of the queue reaches the feed after this (a collector may
    // still hold the queue as its view).
    ~ScopeFeed() override;

    // The queue to hand the collector as its scope view.
    std::shared_ptr<ScopeQueue> Queue() const { return queue_; }
    // Where the day's log is, for the line about skipped entries.
    void SetLogPath(std::function<std::string()> logPath) { logPath_ = std::move(logPath); }

    // The newest scope view gets the entries; when the view that has them
    // goes (or any scope view goes, as the console has always done), none
    // gets them until another one is opened.
    void SetScope(CFViewSerialScope* scope);
    void ReleaseScope();
    CFViewSerialScope* Scope() const;
    void SetEchoDialog(CDlgCmndEcho* dialog);
    void ReleaseEchoDialog(CDlgCmndEcho* dialog);

    // Shows what is queued, a batch at a time; schedules itself again when
    // more is waiting. Returns the items taken.
    std::size_t Drain();
    // Drains until the queue is empty (tests, and a clean stop).
    void DrainAll();

private slots:
    void DrainPosted() { Drain(); }

private:
    void Schedule();

    std::shared_ptr<ScopeQueue> queue_;
    std::function<std::string()> logPath_;
    QPointer<CFViewSerialScope> scope_;
    QPointer<CDlgCmndEcho> echo_;
};
