#include "console/MainView.h"

#include <QContextMenuEvent>
#include <QResizeEvent>

#include "common/Globals.h"
#include "console/ChildFrame.h"
#include "console/ConsoleCommands.h"
#include "console/KestovaApp.h"
#include "console/RichEditScopeView.h"
#include "common/LogLine.h"
#include "platform/Paths.h"
#include "platform/RadioPortSetting.h"
#include "platform/ScopeLog.h"
#include "radio/SerialPort.h"
#include "records/Callers.h"

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

    pane_->PaneLog(COLOUR_DARK_RED, "Program Started!\n");
    pane_->PaneLog(COLOUR_DARK_RED, "Our (Collector) ID is %d.\n", COLLECTOR_ID);

    InitExeDirectory();
    // A stored value that is no COM number is said, then asked for again.
    std::string portError;
    int port = ReadRadioPortSetting(&portError);
    if (!portError.empty()) ShowMessageBox(portError.c_str());
    if (port == -1) {
        port = app != nullptr ? app->ChoosePort() : -1;
        if (port != -1) WriteRadioPortSetting(port);
    }
    if (port != -1) {
        pane_->PaneLog(COLOUR_DARK_RED, "Using Serial Port COMM %d\n\n", port);
        // The scope first, so that a port that does not open is reported in
        // it and in the day's log.
        childViewKind = 1;
        if (app != nullptr) app->OnFileNew();
        SetScopeLogEnabled(true);
        // The index is the COM number less one; its result changes nothing
        // here (a port that is away is retried by the port itself).
        RadioPort().Open(static_cast<std::uint8_t>(port - 1));
    }
    LoadCallers();
    if (app != nullptr) app->StartWorker();
}

void CMainView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    pane_->setGeometry(5, 5, width() - 10, height() - 10);
}

void CMainView::contextMenuEvent(QContextMenuEvent* event) {
    console::ShowEditContextMenu(this, event->globalPos(), pane_);
}
