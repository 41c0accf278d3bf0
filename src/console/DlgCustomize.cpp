#include "console/DlgCustomize.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QToolBar>
#include <QVBoxLayout>

#include "console/UserSettings.h"

namespace {

const char* const kSeparatorName = "-";

// The command's menu text without its mnemonic and accelerator.
QString PlainText(const QAction* action) {
    QString text = action->text();
    const qsizetype tab = text.indexOf(QLatin1Char('\t'));
    if (tab >= 0) text.truncate(tab);
    text.remove(QRegularExpression(QStringLiteral("&(?!&)")));
    return text;
}

QString ActionName(const QAction* action) {
    if (action->isSeparator()) return QString::fromLatin1(kSeparatorName);
    return action->objectName().isEmpty() ? PlainText(action) : action->objectName();
}

QString SeparatorLabel() { return QStringLiteral("\u2014\u2014 Separator \u2014\u2014"); }

// Takes an action off the toolbar; separators belong to the toolbar and go.
void TakeOff(QToolBar* toolbar, QAction* action) {
    toolbar->removeAction(action);
    if (action->isSeparator() && action->parent() == toolbar) delete action;
}

QString GroupOf(const QToolBar* toolbar) {
    const QString name = toolbar->objectName().isEmpty() ? toolbar->windowTitle()
                                                         : toolbar->objectName();
    return QStringLiteral("Toolbars/") + name;
}

}  // namespace

CDlgCustomize::CDlgCustomize(QToolBar* toolbar, const QList<QAction*>& commands, QWidget* parent)
    : QDialog(parent), toolbar_(toolbar), commands_(commands) {
    setWindowTitle(QStringLiteral("Customize"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    commandList = new QListWidget(this);
    auto* separator = new QListWidgetItem(SeparatorLabel(), commandList);
    separator->setData(Qt::UserRole, -1);
    for (int i = 0; i < commands_.size(); ++i) {
        auto* item = new QListWidgetItem(commands_[i]->icon(), PlainText(commands_[i]), commandList);
        item->setData(Qt::UserRole, i);
    }
    buttonList = new QListWidget(this);

    addButton = new QPushButton(QStringLiteral("&Add >>"), this);
    removeButton = new QPushButton(QStringLiteral("<< &Remove"), this);
    upButton = new QPushButton(QStringLiteral("Move &Up"), this);
    downButton = new QPushButton(QStringLiteral("Move &Down"), this);
    auto* middle = new QVBoxLayout;
    middle->addStretch();
    for (QPushButton* b : {addButton, removeButton, upButton, downButton}) {
        b->setAutoDefault(false);
        middle->addWidget(b);
    }
    middle->addStretch();

    auto* options = new QGroupBox(QStringLiteral("Options"), this);
    textLabelsBox = new QCheckBox(QStringLiteral("Show text &labels"), options);
    textLabelsBox->setChecked(toolbar_->toolButtonStyle() != Qt::ToolButtonIconOnly);
    menuAnimationsBox = new QCheckBox(QStringLiteral("Menu a&nimations"), options);
    menuAnimationsBox->setChecked(QApplication::isEffectEnabled(Qt::UI_AnimateMenu));
    auto* optionsLayout = new QVBoxLayout(options);
    optionsLayout->addWidget(textLabelsBox);
    optionsLayout->addWidget(menuAnimationsBox);

    closeButton = new QPushButton(QStringLiteral("Close"), this);
    closeButton->setDefault(true);

    auto* grid = new QGridLayout(this);
    grid->addWidget(new QLabel(QStringLiteral("Commands:"), this), 0, 0);
    grid->addWidget(new QLabel(QStringLiteral("Toolbar buttons (%1):").arg(toolbar_->windowTitle()),
                               this),
                    0, 2);
    grid->addWidget(commandList, 1, 0);
    grid->addLayout(middle, 1, 1);
    grid->addWidget(buttonList, 1, 2);
    grid->addWidget(options, 2, 0, 1, 3);
    auto* bottom = new QHBoxLayout;
    bottom->addStretch();
    bottom->addWidget(closeButton);
    grid->addLayout(bottom, 3, 0, 1, 3);

    connect(addButton, &QPushButton::clicked, this, &CDlgCustomize::AddSelected);
    connect(removeButton, &QPushButton::clicked, this, &CDlgCustomize::RemoveSelected);
    connect(upButton, &QPushButton::clicked, this, &CDlgCustomize::MoveSelectedUp);
    connect(downButton, &QPushButton::clicked, this, &CDlgCustomize::MoveSelectedDown);
    connect(textLabelsBox, &QCheckBox::toggled, this, &CDlgCustomize::SetTextLabels);
    connect(menuAnimationsBox, &QCheckBox::toggled, this,
            [](bool on) { QApplication::setEffectEnabled(Qt::UI_AnimateMenu, on); });
    connect(closeButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(commandList, &QListWidget::currentRowChanged, this, [this] { UpdateButtons(); });
    connect(buttonList, &QListWidget::currentRowChanged, this, [this] { UpdateButtons(); });
    connect(commandList, &QListWidget::itemDoubleClicked, this, &CDlgCustomize::AddSelected);

    FillButtonList(-1);
    commandList->setCurrentRow(0);
}

void CDlgCustomize::FillButtonList(int select) {
    buttonList->clear();
    for (QAction* action : toolbar_->actions()) {
        if (action->isSeparator())
            new QListWidgetItem(SeparatorLabel(), buttonList);
        else
            new QListWidgetItem(action->icon(), PlainText(action), buttonList);
    }
    if (select >= buttonList->count()) select = buttonList->count() - 1;
    buttonList->setCurrentRow(select);
    UpdateButtons();
}

void CDlgCustomize::UpdateButtons() {
    const int command = commandList->currentRow();
    const int button = buttonList->currentRow();
    const int buttons = buttonList->count();
    bool canAdd = command == 0;
    if (command > 0) canAdd = !toolbar_->actions().contains(commands_[command - 1]);
    addButton->setEnabled(canAdd);
    removeButton->setEnabled(button >= 0);
    upButton->setEnabled(button > 0);
    downButton->setEnabled(button >= 0 && button + 1 < buttons);
}

void CDlgCustomize::AddSelected() {
    const int command = commandList->currentRow();
    if (command < 0) return;
    const QList<QAction*> actions = toolbar_->actions();
    // A command sits on a toolbar once; adding it again would only move it.
    if (command > 0 && actions.contains(commands_[command - 1])) return;
    const int after = buttonList->currentRow();
    QAction* before = (after >= 0 && after + 1 < actions.size()) ? actions[after + 1] : nullptr;
    if (command == 0)
        toolbar_->insertSeparator(before);
    else
        toolbar_->insertAction(before, commands_[command - 1]);
    FillButtonList(after >= 0 ? after + 1 : static_cast<int>(actions.size()));
}

void CDlgCustomize::RemoveSelected() {
    const int row = buttonList->currentRow();
    const QList<QAction*> actions = toolbar_->actions();
    if (row < 0 || row >= actions.size()) return;
    TakeOff(toolbar_, actions[row]);
    FillButtonList(row);
}

void CDlgCustomize::Move(int delta) {
    const int row = buttonList->currentRow();
    const QList<QAction*> actions = toolbar_->actions();
    const int target = row + delta;
    if (row < 0 || row >= actions.size() || target < 0 || target >= actions.size()) return;
    QAction* moving = actions[row];
    // Re-inserting keeps the action object, separators included.
    toolbar_->removeAction(moving);
    const QList<QAction*> rest = toolbar_->actions();
    toolbar_->insertAction(target < rest.size() ? rest[target] : nullptr, moving);
    FillButtonList(target);
}

void CDlgCustomize::MoveSelectedUp() { Move(-1); }

void CDlgCustomize::MoveSelectedDown() { Move(1); }

void CDlgCustomize::SetTextLabels(bool on) {
    toolbar_->setToolButtonStyle(on ? Qt::ToolButtonTextUnderIcon : Qt::ToolButtonIconOnly);
    if (textLabelsBox->isChecked() != on) textLabelsBox->setChecked(on);
}

QStringList ToolbarButtonNames(const QToolBar* toolbar) {
    QStringList names;
    for (const QAction* action : toolbar->actions()) names << ActionName(action);
    return names;
}

void SetToolbarButtons(QToolBar* toolbar, const QStringList& names,
                       const QList<QAction*>& commands) {
    for (QAction* action : toolbar->actions()) TakeOff(toolbar, action);
    for (const QString& name : names) {
        if (name == QLatin1String(kSeparatorName)) {
            toolbar->addSeparator();
            continue;
        }
        for (QAction* command : commands) {
            if (ActionName(command) == name && !toolbar->actions().contains(command)) {
                toolbar->addAction(command);
                break;
            }
        }
    }
}

void SaveToolbarCustomisation(const QToolBar* toolbar) {
    QSettings settings = UserSettings();
    settings.beginGroup(GroupOf(toolbar));
    settings.setValue(QStringLiteral("Buttons"), ToolbarButtonNames(toolbar));
    settings.setValue(QStringLiteral("TextLabels"),
                      toolbar->toolButtonStyle() != Qt::ToolButtonIconOnly);
    settings.endGroup();
    settings.sync();
}

bool RestoreToolbarCustomisation(QToolBar* toolbar, const QList<QAction*>& commands) {
    QSettings settings = UserSettings();
    settings.beginGroup(GroupOf(toolbar));
    if (!settings.contains(QStringLiteral("Buttons"))) return false;
    SetToolbarButtons(toolbar, settings.value(QStringLiteral("Buttons")).toStringList(), commands);
    toolbar->setToolButtonStyle(settings.value(QStringLiteral("TextLabels")).toBool()
                                    ? Qt::ToolButtonTextUnderIcon
                                    : Qt::ToolButtonIconOnly);
    return true;
}
