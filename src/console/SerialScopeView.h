#pragma once
// The serial scope: every line the worker logs and every frame received or
// sent, time-stamped and dumped byte by byte. The most recently opened scope
// view receives the worker's output (through the scope feed); closing any
// scope view stops it until another one is opened.
#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "console/RichEditScopeView.h"
#include "console/ScopeFeed.h"

class CKestovaDoc;
class CRichEditScopeView;
class ScopeFeed;
struct ScopeEntry;

class CFViewSerialScope : public QWidget {
    Q_OBJECT
public:
    // `feed` (may be null) is where the collector's entries come from.
    CFViewSerialScope(CKestovaDoc* document, ScopeFeed* feed, QWidget* parent = nullptr);
    ~CFViewSerialScope() override;

    // Takes over the feed's entries and titles the document ". SerScope .".
    void OnInitialUpdate();
    // The window is going: it takes no further entry and the feed has no
    // scope until another opens (whichever scope held it). Runs when its
    // document window closes, and at the latest when the view is deleted.
    void OnDestroy();

    CRichEditScopeView* Pane() const { return pane_; }

    // One scope entry as the day's log has it: the prefix in purple, the
    // text or dump in its colour. User-interface thread.
    void ShowEntry(const ScopeEntry& entry);
    // The line for entries the feed had to skip, in dark red.
    void ShowSkipped(const std::string& text);
    // Entries shown between these reach the pane's layout as one change.
    void BeginBatch();
    void EndBatch();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    CKestovaDoc* document_;
    CRichEditScopeView* pane_;
    QPointer<ScopeFeed> feed_;
    std::optional<CRichEditScopeView::Entry> batch_;
    bool destroyed_ = false;
};
