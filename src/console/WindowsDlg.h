#pragma once
// The window list ("&Windows..."): the open document windows, to activate,
// save, minimise or close several at once.
#include <QDialog>
#include <QPointer>
#include <QSet>
#include <vector>

class QListWidget;
class QMdiArea;
class QMdiSubWindow;

class CWindowsDlg : public QDialog {
    Q_OBJECT
public:
    CWindowsDlg(QMdiArea* area, QWidget* parent = nullptr);

    QListWidget* List() const { return list_; }
    void OnActivate();
    void OnSave();
    void OnCloseWindows();
    void OnMinimize();

private:
    void Fill();
    QList<QMdiSubWindow*> Selected() const;

    QMdiArea* area_;
    QListWidget* list_;
    std::vector<QPointer<QMdiSubWindow>> windows_;  // by list row
    QSet<QMdiSubWindow*> closed_;                   // compared only, never used
};
