#include "console/ScopeFeed.h"

#include <QMetaObject>
#include <vector>

#include "console/DlgCmndEcho.h"
#include "console/SerialScopeView.h"

ScopeFeed::ScopeFeed(QObject* parent, std::size_t capacity)
    : QObject(parent), queue_(std::make_shared<ScopeQueue>(capacity)) {
    // Called on the worker's thread when the queue was empty: a drain is
    // posted to this object's thread, never waited for.
    queue_->SetWake([this]() { Schedule(); });
}

ScopeFeed::~ScopeFeed() { queue_->SetWake({}); }

void ScopeFeed::Schedule() {
    // Posted by name: Qt makes and queues the call itself, ordered by its
    // event queue's lock, and nothing of ours is handed between threads.
    QMetaObject::invokeMethod(this, "DrainPosted", Qt::QueuedConnection);
}

void ScopeFeed::SetScope(CFViewSerialScope* scope) { scope_ = scope; }
void ScopeFeed::ReleaseScope() { scope_ = nullptr; }
CFViewSerialScope* ScopeFeed::Scope() const { return scope_.data(); }
void ScopeFeed::SetEchoDialog(CDlgCmndEcho* dialog) { echo_ = dialog; }

void ScopeFeed::ReleaseEchoDialog(CDlgCmndEcho* dialog) {
    if (echo_.data() == dialog) echo_ = nullptr;
}

std::size_t ScopeFeed::Drain() {
    std::vector<ScopeItem> items;
    items.reserve(BATCH);
    const std::size_t taken = queue_->Drain(&items, BATCH);
    CFViewSerialScope* scope = scope_.data();
    if (scope != nullptr) scope->BeginBatch();
    for (const ScopeItem& item : items) {
        switch (item.kind) {
            case ScopeItem::Kind::Entry:
                if (scope != nullptr) scope->ShowEntry(item.entry);
                break;
            case ScopeItem::Kind::Skipped:
                if (scope != nullptr)
                    scope->ShowSkipped(SkippedLinesText(item.skipped, logPath_ ? logPath_() : ""));
                break;
            case ScopeItem::Kind::Echo:
                if (CDlgCmndEcho* dialog = echo_.data()) dialog->EchoLine(item.echo);
                break;
        }
    }
    if (scope != nullptr) scope->EndBatch();
    // A full batch may have left more behind, if only the count of a run
    // skipped after it (the queue hands that out once its entries are all
    // taken, and no wake comes for it): drain again.
    if (taken == BATCH) Schedule();
    return taken;
}

void ScopeFeed::DrainAll() {
    while (Drain() > 0) {
    }
}
