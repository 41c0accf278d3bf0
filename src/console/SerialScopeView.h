#pragma once
// The serial scope: every line the worker logs and every frame received or
// sent, time-stamped and dumped byte by byte. The most recently opened scope
// view receives the worker's output; closing any scope view stops it until
// another one is opened.
#include <QWidget>
#include <cstdint>
#include <memory>

#include "common/Messages.h"

class BridgedWindow;
class CKestovaDoc;
class CRichEditScopeView;

class CFViewSerialScope : public QWidget {
    Q_OBJECT
public:
    explicit CFViewSerialScope(CKestovaDoc* document, QWidget* parent = nullptr);
    ~CFViewSerialScope() override;

    // Takes over scopeWindow and titles the document ". SerScope .".
    void OnInitialUpdate();
    // The window is going: it takes no further message and scopeWindow is
    // cleared (whichever scope held it). Runs when its document window
    // closes, and at the latest when the view is deleted.
    void OnDestroy();

    CRichEditScopeView* Pane() const { return pane_; }
    WindowHandle Handle() const;

    // The three worker messages, on the user-interface thread. Returns 0.
    std::intptr_t OnWindowMessage(std::uint32_t message, WPARAM wParam, LPARAM lParam);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    CKestovaDoc* document_;
    CRichEditScopeView* pane_;
    std::unique_ptr<BridgedWindow> window_;
    bool destroyed_ = false;
};
