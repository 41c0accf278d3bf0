#pragma once
// The toolbar customisation dialog (command 126, "Customize..."): shows the
// commands that can sit on a toolbar and the toolbar's buttons, adds,
// removes and reorders buttons and separators, and switches text labels
// and menu animations. Every change shows on the toolbar at once.
#include <QDialog>
#include <QList>
#include <QStringList>

class QAction;
class QCheckBox;
class QListWidget;
class QPushButton;
class QToolBar;

class CDlgCustomize : public QDialog {
    Q_OBJECT
public:
    // commands: every action that may be put on the toolbar. The dialog
    // owns neither the toolbar nor the actions.
    CDlgCustomize(QToolBar* toolbar, const QList<QAction*>& commands, QWidget* parent = nullptr);

    QListWidget* commandList = nullptr;  // "Commands:", separator first
    QListWidget* buttonList = nullptr;   // "Toolbar buttons:", in toolbar order
    QPushButton* addButton = nullptr;
    QPushButton* removeButton = nullptr;
    QPushButton* upButton = nullptr;
    QPushButton* downButton = nullptr;
    QCheckBox* textLabelsBox = nullptr;
    QCheckBox* menuAnimationsBox = nullptr;
    QPushButton* closeButton = nullptr;

public slots:
    // Puts the selected command (or a separator) behind the selected button,
    // or at the end when no button is selected.
    void AddSelected();
    void RemoveSelected();
    void MoveSelectedUp();
    void MoveSelectedDown();
    void SetTextLabels(bool on);

private:
    void FillButtonList(int select);
    void UpdateButtons();
    void Move(int delta);

    QToolBar* toolbar_;
    QList<QAction*> commands_;
};

// A toolbar's buttons by the names of their actions ("-" for a separator).
QStringList ToolbarButtonNames(const QToolBar* toolbar);
// Rebuilds the toolbar from names; names that match no command are skipped.
void SetToolbarButtons(QToolBar* toolbar, const QStringList& names,
                       const QList<QAction*>& commands);
// Keeps the toolbar's buttons and text-label choice in the per-user
// settings, under "Toolbars/<toolbar object name>".
void SaveToolbarCustomisation(const QToolBar* toolbar);
// Restores what SaveToolbarCustomisation kept; false (toolbar untouched)
// when nothing was kept.
bool RestoreToolbarCustomisation(QToolBar* toolbar, const QList<QAction*>& commands);
