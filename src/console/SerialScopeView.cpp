#include "console/SerialScopeView.h"

#include <QContextMenuEvent>
#include <QResizeEvent>
#include <ctime>

#include "common/ScopeEntry.h"
#include "console/ChildFrame.h"
#include "console/ConsoleCommands.h"
#include "console/RichEditScopeView.h"

CFViewSerialScope::CFViewSerialScope(CKestovaDoc* document, ScopeFeed* feed, QWidget* parent)
    : QWidget(parent), document_(document), feed_(feed) {
    setObjectName(QStringLiteral("CFViewSerialScope"));
    // Form 311: Courier New 10.
    setFont(QFont(QStringLiteral("Courier New"), 10));
    pane_ = new CRichEditScopeView(this);
    pane_->setObjectName(QStringLiteral("1004"));
    pane_->setFont(font());
    // Dump lines are wider than a narrow screen: they can be scrolled to.
    pane_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    pane_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
}

CFViewSerialScope::~CFViewSerialScope() { OnDestroy(); }

void CFViewSerialScope::OnDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    batch_.reset();
    if (feed_) feed_->ReleaseScope();
}

void CFViewSerialScope::OnInitialUpdate() {
    if (feed_) feed_->SetScope(this);
    if (document_ != nullptr) document_->SetTitle(QStringLiteral(". SerScope ."));
}

void CFViewSerialScope::ShowEntry(const ScopeEntry& entry) {
    if (destroyed_) return;
    // The entry's text is the one the day's log and stdout hold, time
    // stamp included.
    CRichEditScopeView::Entry one(*pane_);
    pane_->AppendColoured(COLOUR_PURPLE, entry.prefix.c_str());
    pane_->AppendColoured(entry.colour, entry.body.c_str());
}

void CFViewSerialScope::ShowSkipped(const std::string& text) {
    if (destroyed_) return;
    CRichEditScopeView::Entry one(*pane_);
    pane_->AppendTimeStamp(ScopeChannel::Info);
    pane_->AppendColoured(COLOUR_DARK_RED, text.c_str());
}

void CFViewSerialScope::BeginBatch() {
    if (!destroyed_ && !batch_) batch_.emplace(*pane_);
}

void CFViewSerialScope::EndBatch() { batch_.reset(); }

void CFViewSerialScope::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    pane_->setGeometry(5, 5, width() - 10, height() - 10);
}

void CFViewSerialScope::contextMenuEvent(QContextMenuEvent* event) {
    console::ShowEditContextMenu(this, event->globalPos(), pane_);
}
