#include "console/SerialScopeView.h"

#include <QContextMenuEvent>
#include <QResizeEvent>
#include <ctime>

#include "common/Globals.h"
#include "common/ScopeEntry.h"
#include "console/ChildFrame.h"
#include "console/ConsoleCommands.h"
#include "console/RichEditScopeView.h"
#include "console/WindowBridge.h"

CFViewSerialScope::CFViewSerialScope(CKestovaDoc* document, QWidget* parent)
    : QWidget(parent), document_(document) {
    setObjectName(QStringLiteral("CFViewSerialScope"));
    // Form 311: Courier New 10.
    setFont(QFont(QStringLiteral("Courier New"), 10));
    pane_ = new CRichEditScopeView(this);
    pane_->setObjectName(QStringLiteral("1004"));
    pane_->setFont(font());
    pane_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    pane_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    window_ = std::make_unique<BridgedWindow>(
        [this](std::uint32_t message, WPARAM wParam, LPARAM lParam) {
            return OnWindowMessage(message, wParam, lParam);
        });
}

CFViewSerialScope::~CFViewSerialScope() { OnDestroy(); }

void CFViewSerialScope::OnDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    window_->Close();
    scopeWindow = 0;
}

WindowHandle CFViewSerialScope::Handle() const { return window_->Handle(); }

void CFViewSerialScope::OnInitialUpdate() {
    scopeWindow = window_->Handle();
    if (document_ != nullptr) document_->SetTitle(QStringLiteral(". SerScope ."));
}

std::intptr_t CFViewSerialScope::OnWindowMessage(std::uint32_t message, WPARAM wParam,
                                                 LPARAM lParam) {
    // The entry's text is the one the day's log and stdout hold; the time
    // stamp is the time the pane shows it.
    ScopeEntry scope;
    if (!DescribeScopeEntry(message, wParam, lParam, std::time(nullptr), &scope)) return 0;
    CRichEditScopeView::Entry entry(*pane_);
    pane_->AppendColoured(COLOUR_PURPLE, scope.prefix.c_str());
    pane_->AppendColoured(scope.colour, scope.body.c_str());
    return 0;
}

void CFViewSerialScope::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    pane_->setGeometry(5, 5, width() - 10, height() - 10);
}

void CFViewSerialScope::contextMenuEvent(QContextMenuEvent* event) {
    console::ShowEditContextMenu(this, event->globalPos());
}
