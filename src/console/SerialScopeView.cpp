#include "console/SerialScopeView.h"

#include <QContextMenuEvent>
#include <QResizeEvent>

#include "common/Globals.h"
#include "console/ChildFrame.h"
#include "console/ConsoleCommands.h"
#include "console/RichEditScopeView.h"
#include "console/WindowBridge.h"
#include "platform/ScopeLog.h"

namespace {

// Every entry of the scope also goes to the daily scope log as plain text.
// This runs on the worker's thread, before the entry is carried over to the
// window, so the file gets the line even while the console is closing.
std::intptr_t LogEntryToFile(std::uint32_t message, WPARAM wParam, LPARAM lParam) {
    if (lParam == 0) return 0;
    switch (message) {
        case WM_LOG_TEXT:
            ScopeLogAppend(FormatTimeStampNow(ScopeChannel::Info) +
                           reinterpret_cast<const char*>(lParam));
            break;
        case WM_LOG_FIELD_BYTES:
        case WM_LOG_COLLECT_BYTES:
            ScopeLogAppend(FormatTimeStampNow(message == WM_LOG_FIELD_BYTES
                                                  ? ScopeChannel::Field
                                                  : ScopeChannel::Collect) +
                           FormatDump(reinterpret_cast<const std::uint8_t*>(lParam),
                                      static_cast<std::size_t>(wParam)));
            break;
        default:
            break;
    }
    return 0;
}

}  // namespace

CFViewSerialScope::CFViewSerialScope(CKestovaDoc* document, QWidget* parent)
    : QWidget(parent), document_(document) {
    setObjectName(QStringLiteral("CFViewSerialScope"));
    // Form 311: Courier New 10.
    setFont(QFont(QStringLiteral("Courier New"), 10));
    pane_ = new CRichEditScopeView(this);
    pane_->setObjectName(QStringLiteral("1004"));
    pane_->setFont(font());
    // Dump lines are wider than a narrow screen: they can be scrolled to.
    pane_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    pane_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    window_ = std::make_unique<BridgedWindow>(
        [this](std::uint32_t message, WPARAM wParam, LPARAM lParam) {
            return OnWindowMessage(message, wParam, lParam);
        },
        &LogEntryToFile);
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
    if (lParam == 0) return 0;
    CRichEditScopeView::Entry entry(*pane_);
    switch (message) {
        case WM_LOG_TEXT:
            pane_->AppendTimeStamp(ScopeChannel::Info);
            pane_->AppendColoured(static_cast<Colour>(wParam),
                                  reinterpret_cast<const char*>(lParam));
            break;
        case WM_LOG_FIELD_BYTES:
            pane_->AppendTimeStamp(ScopeChannel::Field);
            pane_->DumpBytes(reinterpret_cast<const std::uint8_t*>(lParam),
                             static_cast<std::size_t>(wParam), COLOUR_DARK_BLUE);
            break;
        case WM_LOG_COLLECT_BYTES:
            pane_->AppendTimeStamp(ScopeChannel::Collect);
            pane_->DumpBytes(reinterpret_cast<const std::uint8_t*>(lParam),
                             static_cast<std::size_t>(wParam), COLOUR_DARK_GREEN);
            break;
        default:
            break;
    }
    return 0;
}

void CFViewSerialScope::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    pane_->setGeometry(5, 5, width() - 10, height() - 10);
}

void CFViewSerialScope::contextMenuEvent(QContextMenuEvent* event) {
    console::ShowEditContextMenu(this, event->globalPos(), pane_);
}
