#include "console/MainFrame.h"

// The documents and tabs of the frame: the tab area, the document windows
// and the history views in it, the File commands that act on them, and the
// document menu at the right end of the tabs.
#include <QFileDialog>
#include <QFileInfo>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QTabBar>
#include <QTimer>
#include <QToolButton>

#include "common/LogLine.h"
#include "console/ChildFrame.h"
#include "console/FrameHost.h"
#include "console/Icons.h"
#include "console/RichEditScopeView.h"
#include "console/AlarmsView.h"
#include "console/SitesView.h"
#include "console/TrainView.h"
#include "console/TrainsView.h"
#include "console/WindowBridge.h"

namespace {

// The frame's Close (Ctrl+F4, Ctrl+W) closes the active window; the same
// keys on each window's own menu would make them ambiguous.
void LeaveCloseKeysToTheFrame(QMdiSubWindow* window) {
    if (QMenu* menu = window->systemMenu())
        for (QAction* action : menu->actions()) action->setShortcuts({});
}

}  // namespace

void CMainFrame::CreateTabArea() {
    mdiArea_ = new QMdiArea(this);
    mdiArea_->setObjectName(QStringLiteral("mdiArea"));
    mdiArea_->setViewMode(QMdiArea::TabbedView);
    mdiArea_->setTabsClosable(true);
    mdiArea_->setTabsMovable(true);
    mdiArea_->setTabShape(QTabWidget::Rounded);
    mdiArea_->setDocumentMode(true);
    setCentralWidget(mdiArea_);
    mdiArea_->installEventFilter(this);
    connect(mdiArea_, &QMdiArea::subWindowActivated, this, [this](QMdiSubWindow* window) {
        // A tab brought to the front has been seen.
        if (auto* child = qobject_cast<CChildFrame*>(window); child != nullptr && child->Pane() != nullptr)
            child->Pane()->MarkSeen();
        UpdateMenus();
        UpdateCaption();
        UpdateTabButtons();
    });

    // The document menu at the right end of the tab area.
    documentMenu_ = new QMenu(this);
    documentMenu_->setObjectName(QStringLiteral("documentMenu"));
    connect(documentMenu_, &QMenu::aboutToShow, this, &CMainFrame::FillDocumentMenu);
    documentButton_ = new QToolButton(mdiArea_);
    documentButton_->setObjectName(QStringLiteral("documentMenuButton"));
    documentButton_->setArrowType(Qt::DownArrow);
    documentButton_->setAutoRaise(true);
    documentButton_->setToolTip(QStringLiteral("Active Files"));
    documentButton_->setPopupMode(QToolButton::InstantPopup);
    documentButton_->setMenu(documentMenu_);
    documentButton_->hide();
}

QMdiSubWindow* CMainFrame::AddViewTab(QWidget* view) {
    QMdiSubWindow* window = mdiArea_->addSubWindow(view);
    LeaveCloseKeysToTheFrame(window);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(view->windowTitle());
    window->setWindowIcon(icons::TabMark(documentCount_++));
    connect(view, &QWidget::windowTitleChanged, window, &QWidget::setWindowTitle);
    connect(window, &QObject::destroyed, this, [this]() {
        QTimer::singleShot(0, this, [this]() {
            UpdateMenus();
            UpdateCaption();
        });
    });
    window->showMaximized();
    mdiArea_->setActiveSubWindow(window);
    UpdateMenus();
    UpdateTabButtons();
    return window;
}

SitesView* CMainFrame::OpenSitesView() {
    for (QMdiSubWindow* w : mdiArea_->subWindowList())
        if (auto* view = qobject_cast<SitesView*>(w->widget())) {
            mdiArea_->setActiveSubWindow(w);
            view->Refresh();
            return view;
        }
    auto* view = new SitesView;
    connect(view, &SitesView::OpenTrainsOfSite, this, [this](int site) { OpenTrainsView(site); });
    AddViewTab(view);
    return view;
}

TrainsView* CMainFrame::OpenTrainsView(int siteNumber) {
    TrainsView* view = nullptr;
    for (QMdiSubWindow* w : mdiArea_->subWindowList())
        if (auto* v = qobject_cast<TrainsView*>(w->widget())) {
            mdiArea_->setActiveSubWindow(w);
            view = v;
        }
    if (view == nullptr) {
        view = new TrainsView;
        connect(view, &TrainsView::OpenTrain, this, [this](qint64 id) { OpenTrainView(id); });
        AddViewTab(view);
    }
    // View, Trains keeps the filter the operator left; a site opens its own.
    if (siteNumber >= 0) view->ShowSite(siteNumber);
    return view;
}

TrainView* CMainFrame::OpenTrainView(qint64 trainId) {
    for (QMdiSubWindow* w : mdiArea_->subWindowList())
        if (auto* v = qobject_cast<TrainView*>(w->widget()); v != nullptr && v->TrainId() == trainId) {
            mdiArea_->setActiveSubWindow(w);
            return v;
        }
    auto* view = new TrainView;
    if (!view->ShowTrain(trainId)) {
        delete view;
        return nullptr;
    }
    AddViewTab(view);
    return view;
}

AlarmsView* CMainFrame::OpenAlarmsView() {
    for (QMdiSubWindow* w : mdiArea_->subWindowList())
        if (auto* view = qobject_cast<AlarmsView*>(w->widget())) {
            mdiArea_->setActiveSubWindow(w);
            view->Refresh();
            return view;
        }
    auto* view = new AlarmsView;
    connect(view, &AlarmsView::OpenAlarm, this, &CMainFrame::OpenTrainAtAxle);
    AddViewTab(view);
    return view;
}

TrainView* CMainFrame::OpenTrainAtAxle(qint64 trainId, int axle) {
    TrainView* view = OpenTrainView(trainId);
    if (view != nullptr) view->ShowAxle(axle);
    return view;
}

void CMainFrame::RefreshActiveView() {
    QMdiSubWindow* active = mdiArea_->activeSubWindow();
    QWidget* view = active != nullptr ? active->widget() : nullptr;
    if (auto* sites = qobject_cast<SitesView*>(view)) sites->Refresh();
    if (auto* trains = qobject_cast<TrainsView*>(view)) trains->Refresh();
    if (auto* alarms = qobject_cast<AlarmsView*>(view)) alarms->Refresh();
    if (auto* train = qobject_cast<TrainView*>(view)) {
        const int axle = train->MarkedAxle();
        train->ShowTrain(train->TrainId());
        train->ShowAxle(axle);
    }
}

CChildFrame* CMainFrame::ActiveChild() const {
    QMdiSubWindow* active = mdiArea_->activeSubWindow();
    if (active == nullptr && !mdiArea_->subWindowList().isEmpty())
        active = mdiArea_->currentSubWindow();
    return qobject_cast<CChildFrame*>(active);
}

CChildFrame* CMainFrame::CreateDocumentWindow(const QString& path) {
    if (!path.isEmpty()) {
        CKestovaDoc probe;
        if (!probe.OnOpenDocument(path)) return nullptr;
    }
    auto* child = new CChildFrame();
    if (!child->OnCreateClient(newDocumentView_, feed_)) {
        delete child;
        return nullptr;
    }
    child->setWindowIcon(icons::TabMark(documentCount_++));
    mdiArea_->addSubWindow(child);
    LeaveCloseKeysToTheFrame(child);
    connect(child, &QObject::destroyed, this, [this]() {
        QTimer::singleShot(0, this, [this]() {
            UpdateMenus();
            UpdateCaption();
        });
    });
    connect(child->Document(), &CKestovaDoc::TitleChanged, this, [this]() {
        UpdateCaption();
    });
    if (!path.isEmpty()) {
        child->Document()->OnOpenDocument(path);
        child->Document()->SetTitle(QFileInfo(path).fileName());
        AddToRecentFileList(path);
    }
    child->showMaximized();
    mdiArea_->setActiveSubWindow(child);
    UpdateMenus();
    // The view's initial update; a main view's start-up may open further
    // windows from here.
    child->InitialUpdateFrame();
    UpdateCaption();
    UpdateTabButtons();
    return child;
}

void CMainFrame::OnFileNew() {
    if (host_ != nullptr) {
        host_->OnFileNew();
    } else {
        CreateDocumentWindow(QString());
    }
}

void CMainFrame::OnFileOpen() {
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Open"), QString(),
                                                      QStringLiteral("All Files (*)"));
    if (path.isEmpty()) return;
    CreateDocumentWindow(path);
}

void CMainFrame::OnFileClose() {
    if (QMdiSubWindow* active = mdiArea_->activeSubWindow()) active->close();
}

void CMainFrame::OnFileSave() {
    CChildFrame* child = ActiveChild();
    if (child == nullptr) return;
    const QString path = child->Document()->GetPathName();
    if (path.isEmpty()) {
        OnFileSaveAs();
        return;
    }
    SaveActiveDocumentAs(path);
}

void CMainFrame::OnFileSaveAs() {
    CChildFrame* child = ActiveChild();
    if (child == nullptr) return;
    QString suggestion = child->Document()->GetPathName();
    if (suggestion.isEmpty()) suggestion = child->Document()->GetTitle().trimmed();
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save As"), suggestion,
                                                      QStringLiteral("All Files (*)"));
    if (path.isEmpty()) return;
    SaveActiveDocumentAs(path);
}

bool CMainFrame::SaveActiveDocumentAs(const QString& path) {
    CChildFrame* child = ActiveChild();
    if (child == nullptr) return false;
    if (!child->Document()->OnSaveDocument(path)) {
        bridge::ShowMessageBox("Failed to save document.");
        return false;
    }
    AddToRecentFileList(path);
    return true;
}

void CMainFrame::FillDocumentMenu() {
    documentMenu_->clear();
    for (QMdiSubWindow* window : mdiArea_->subWindowList(QMdiArea::CreationOrder)) {
        QAction* item = documentMenu_->addAction(window->windowIcon(), window->windowTitle());
        item->setCheckable(true);
        item->setChecked(window == mdiArea_->activeSubWindow());
        QPointer<QMdiSubWindow> target(window);
        connect(item, &QAction::triggered, this, [this, target]() {
            if (target) mdiArea_->setActiveSubWindow(target);
        });
    }
    documentMenu_->addSeparator();
    documentMenu_->addAction(Action(cmd::WindowManager));
}

void CMainFrame::PlaceDocumentButton() {
    if (tabBar_.isNull()) {
        tabBar_ = mdiArea_->findChild<QTabBar*>();
        if (!tabBar_.isNull()) {
            tabBar_->installEventFilter(this);
            tabBar_->setExpanding(false);
            connect(tabBar_, &QTabBar::currentChanged, this, [this]() { UpdateTabButtons(); });
            connect(tabBar_, &QTabBar::tabMoved, this, [this]() { UpdateTabButtons(); });
        }
    }
    if (tabBar_.isNull() || adjustingTabs_) return;
    adjustingTabs_ = true;
    const int height = tabBar_->isVisible() ? tabBar_->height() : tabBar_->sizeHint().height();
    const int side = qMax(16, height);
    const int areaWidth = mdiArea_->width();
    // The tabs give up the right end of their row to the document menu.
    if (tabBar_->geometry().right() > areaWidth - side - 1)
        tabBar_->resize(qMax(0, areaWidth - side - tabBar_->x()), tabBar_->height());
    documentButton_->setGeometry(areaWidth - side, tabBar_->y(), side, height);
    documentButton_->raise();
    adjustingTabs_ = false;
}

void CMainFrame::UpdateTabButtons() {
    PlaceDocumentButton();
    if (tabBar_.isNull()) return;
    // The close button shows on the active tab only.
    for (int i = 0; i < tabBar_->count(); ++i) {
        for (auto side : {QTabBar::LeftSide, QTabBar::RightSide}) {
            if (QWidget* button = tabBar_->tabButton(i, side))
                button->setVisible(i == tabBar_->currentIndex());
        }
    }
}

bool CMainFrame::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == tabBar_ || watched == mdiArea_) &&
        (event->type() == QEvent::Resize || event->type() == QEvent::Move ||
         event->type() == QEvent::Show || event->type() == QEvent::LayoutRequest)) {
        QTimer::singleShot(0, this, [this]() { PlaceDocumentButton(); });
    }
    return QMainWindow::eventFilter(watched, event);
}
