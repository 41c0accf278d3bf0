#pragma once
// The main view: the first document window. Its initial update brings the
// collector up; its pane shows the start-up lines.
#include <QWidget>

class CKestovaDoc;
class CRichEditScopeView;

class CMainView : public QWidget {
    Q_OBJECT
public:
    explicit CMainView(CKestovaDoc* document, QWidget* parent = nullptr);

    // The start-up sequence (the first main view of the process), or a note
    // that the collector is already running (any further one).
    void OnInitialUpdate();

    CRichEditScopeView* Pane() const { return pane_; }
    CKestovaDoc* Document() const { return document_; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    CKestovaDoc* document_;
    CRichEditScopeView* pane_;
};
