#include "console/ChildFrame.h"

#include <QCloseEvent>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "console/MainFrame.h"
#include "console/MainView.h"
#include "console/RichEditScopeView.h"
#include "console/SerialScopeView.h"

void CKestovaDoc::SetTitle(const QString& title) {
    title_ = title;
    emit TitleChanged(title);
}

bool CKestovaDoc::OnSaveDocument(const QString& path) {
    // QSaveFile writes beside the target and renames over it on commit.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    if (!file.commit()) return false;
    path_ = path;
    return true;
}

bool CKestovaDoc::OnOpenDocument(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    path_ = path;
    return true;
}

CChildFrame::CChildFrame(QWidget* parent) : QMdiSubWindow(parent), document_(new CKestovaDoc(this)) {
    setAttribute(Qt::WA_DeleteOnClose);
    connect(document_, &CKestovaDoc::TitleChanged, this, &CChildFrame::UpdateTitle);
}

CRichEditScopeView* CChildFrame::Pane() const {
    if (scopeView_ != nullptr) return scopeView_->Pane();
    return mainView_ != nullptr ? mainView_->Pane() : nullptr;
}

void CChildFrame::UpdateTitle() {
    const int unseen = Pane() != nullptr ? Pane()->UnseenLines() : 0;
    setWindowTitle(unseen > 0 ? QStringLiteral("%1 (%2 new)").arg(document_->GetTitle()).arg(unseen)
                              : document_->GetTitle());
}

CChildFrame::~CChildFrame() = default;

bool CChildFrame::OnCreateClient(DocumentView view, ScopeFeed* feed) {
    if (view == DocumentView::Scope) {
        scopeView_ = new CFViewSerialScope(document_, feed);
        setWidget(scopeView_);
    } else {
        mainView_ = new CMainView(document_);
        setWidget(mainView_);
    }
    if (Pane() != nullptr)
        connect(Pane(), &CRichEditScopeView::UnseenLinesChanged, this, &CChildFrame::UpdateTitle);
    return widget() != nullptr;
}

void CChildFrame::closeEvent(QCloseEvent* event) {
    QMdiSubWindow::closeEvent(event);
    // The window is gone for the operator now; its deletion comes later.
    if (event->isAccepted() && scopeView_ != nullptr) scopeView_->OnDestroy();
}

void CChildFrame::InitialUpdateFrame() {
    if (scopeView_ != nullptr) scopeView_->OnInitialUpdate();
    if (mainView_ != nullptr) mainView_->OnInitialUpdate();
}
