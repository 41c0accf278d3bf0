#include "console/MainView.h"

#include <QContextMenuEvent>
#include <QResizeEvent>

#include "common/LogLine.h"
#include "console/ChildFrame.h"
#include "console/ConsoleCommands.h"
#include "console/KestovaApp.h"
#include "console/RichEditScopeView.h"
#include "console/WindowBridge.h"
#include "engine/Startup.h"

CMainView::CMainView(CKestovaDoc* document, QWidget* parent) : QWidget(parent), document_(document) {
    setObjectName(QStringLiteral("CMainView"));
    // Form 101: Calibri 11, bold.
    QFont font(QStringLiteral("Calibri"), 11);
    font.setBold(true);
    setFont(font);
    pane_ = new CRichEditScopeView(this);
    pane_->setObjectName(QStringLiteral("1008"));
    pane_->setFont(font);
    pane_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    pane_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
}

void CMainView::OnInitialUpdate() {
    if (document_ != nullptr) document_->SetTitle(QStringLiteral("Kestova"));
    CKestovaApp* app = CKestovaApp::Instance();

    // Only the first main view brings the collector up: there is one radio
    // port, one worker and one echo request for the whole process.
    if (app != nullptr && app->StartupBegun()) {
        pane_->PaneLog(COLOUR_DARK_RED, "Our (Collector) ID is %d.\n", COLLECTOR_ID);
        pane_->PaneLog(COLOUR_DARK_RED,
                       "The collector is already running; its start-up is in the first window.\n");
        return;
    }
    if (app != nullptr) app->MarkStartupBegun();

    StartupSteps steps;
    steps.paneLine = [this](Colour colour, const std::string& text) {
        pane_->PaneLog(colour, "%s", text.c_str());
    };
    Collector* collector = app != nullptr ? app->GetCollector() : nullptr;
    if (collector == nullptr) return;  // a window without a collector to start
    steps.choosePort = [app] { return app->ChoosePort(); };
    steps.openScope = [app] { app->OpenScope(); };
    // The scope first, so that a port that does not open is reported in it
    // (and in the day's log).
    steps.scopeBeforePort = true;
    // A stored value that is no COM number is said, then asked for again.
    steps.portSettingError = [](const std::string& error) { bridge::ShowMessageBox(error.c_str()); };
    RunStartup(*collector, steps);
    app->StartWorker();
}

void CMainView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    pane_->setGeometry(5, 5, width() - 10, height() - 10);
}

void CMainView::contextMenuEvent(QContextMenuEvent* event) {
    console::ShowEditContextMenu(this, event->globalPos(), pane_);
}
