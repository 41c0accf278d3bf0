#include "console/MainView.h"

#include <QContextMenuEvent>
#include <QResizeEvent>

#include "common/Globals.h"
#include "console/ChildFrame.h"
#include "console/ConsoleCommands.h"
#include "console/KestovaApp.h"
#include "console/RichEditScopeView.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
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
    const std::string settings = DataPath(SETTINGS_FILE_NAME);
    int port = GetProfileInt(settings, RADIO_PORT_SECTION, RADIO_PORT_KEY, -1);
    if (port == -1) {
        port = app != nullptr ? app->ChoosePort() : -1;
        if (port != -1) WriteProfileInt(settings, RADIO_PORT_SECTION, RADIO_PORT_KEY, port);
    }
    if (port != -1) {
        pane_->PaneLog(COLOUR_DARK_RED, "Using Serial Port COMM %d\n\n", port);
        // The index is the COM number less one; its result changes nothing
        // here (a port that is away is retried by the port itself).
        RadioPort().Open(static_cast<std::uint8_t>(port - 1));
        childViewKind = 1;
        if (app != nullptr) app->OnFileNew();
    }
    LoadCallers();
    if (app != nullptr) app->StartWorker();
}

void CMainView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    pane_->setGeometry(5, 5, width() - 10, height() - 10);
}

void CMainView::contextMenuEvent(QContextMenuEvent* event) {
    console::ShowEditContextMenu(this, event->globalPos());
}
