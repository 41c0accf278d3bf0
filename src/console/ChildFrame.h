#pragma once
// Document windows: a document without content and the tab that shows it.
#include <QMdiSubWindow>
#include <QObject>
#include <QString>

// A document that stores nothing: saving writes an empty file, opening
// accepts any readable file.
class CKestovaDoc : public QObject {
    Q_OBJECT
public:
    explicit CKestovaDoc(QObject* parent = nullptr) : QObject(parent) {}

    void SetTitle(const QString& title);
    QString GetTitle() const { return title_; }
    QString GetPathName() const { return path_; }

    // Writes the (empty) document to `path`: a temporary file in the same
    // folder, then a rename. False when the file cannot be written.
    bool OnSaveDocument(const QString& path);
    // Reads nothing; false when the file cannot be opened for reading.
    bool OnOpenDocument(const QString& path);

signals:
    void TitleChanged(const QString& title);

private:
    QString title_;
    QString path_;
};

class CMainView;
class ScopeFeed;
enum class DocumentView;
class CFViewSerialScope;
class CRichEditScopeView;

// A document window with the main view or the serial scope.
class CChildFrame : public QMdiSubWindow {
    Q_OBJECT
public:
    explicit CChildFrame(QWidget* parent = nullptr);
    ~CChildFrame() override;

    // Creates the view (a scope view takes its entries from `feed`); false
    // when it could not be created.
    bool OnCreateClient(DocumentView view, ScopeFeed* feed);
    // Runs the view's initial update (start-up for a main view).
    void InitialUpdateFrame();

    CKestovaDoc* Document() const { return document_; }
    CMainView* MainView() const { return mainView_; }
    CFViewSerialScope* ScopeView() const { return scopeView_; }
    // The view's log pane.
    CRichEditScopeView* Pane() const;
    // The tab shows the document's title, and how many lines arrived while
    // it was in the background until it is viewed.
    void UpdateTitle();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    CKestovaDoc* document_;
    CMainView* mainView_ = nullptr;
    CFViewSerialScope* scopeView_ = nullptr;
};
