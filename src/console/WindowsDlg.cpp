#include "console/WindowsDlg.h"

#include <QListWidget>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QPushButton>

#include "console/DialogUnits.h"
#include "console/MainFrame.h"

CWindowsDlg::CWindowsDlg(QMdiArea* area, QWidget* parent) : QDialog(parent), area_(area) {
    setObjectName(QStringLiteral("CWindowsDlg"));
    setWindowTitle(QStringLiteral("Windows"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    const DialogUnits du(QFont(QStringLiteral("MS Shell Dlg"), 8));
    du.ApplyToDialog(this, 254, 150);

    list_ = new QListWidget(this);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    du.Place(list_, 7, 7, 180, 136);

    struct Button {
        const char* text;
        void (CWindowsDlg::*slot)();
    };
    const Button buttons[] = {{"&Activate", &CWindowsDlg::OnActivate},
                              {"&OK", nullptr},
                              {"&Save", &CWindowsDlg::OnSave},
                              {"&Close Window(s)", &CWindowsDlg::OnCloseWindows},
                              {"&Minimize", &CWindowsDlg::OnMinimize}};
    int y = 7;
    for (const Button& b : buttons) {
        auto* button = new QPushButton(QString::fromLatin1(b.text), this);
        du.Place(button, 194, y, 53, 14);
        y += 18;
        if (b.slot == nullptr) {
            connect(button, &QPushButton::clicked, this, &QDialog::accept);
        } else {
            connect(button, &QPushButton::clicked, this, b.slot);
        }
    }
    connect(list_, &QListWidget::itemDoubleClicked, this, [this]() { OnActivate(); });
    Fill();
}

void CWindowsDlg::Fill() {
    list_->clear();
    windows_.clear();
    if (area_ == nullptr) return;
    for (QMdiSubWindow* window : area_->subWindowList(QMdiArea::CreationOrder)) {
        // A window closed a moment ago stays in the area until it is deleted.
        if (closed_.contains(window)) continue;
        auto* item = new QListWidgetItem(window->windowTitle(), list_);
        windows_.emplace_back(window);
        if (window == area_->activeSubWindow()) list_->setCurrentItem(item);
    }
}

QList<QMdiSubWindow*> CWindowsDlg::Selected() const {
    QList<QMdiSubWindow*> out;
    for (QListWidgetItem* item : list_->selectedItems()) {
        const int row = list_->row(item);
        if (row >= 0 && static_cast<std::size_t>(row) < windows_.size() && windows_[row])
            out.append(windows_[row].data());
    }
    return out;
}

void CWindowsDlg::OnActivate() {
    const auto selected = Selected();
    if (selected.isEmpty() || area_ == nullptr) return;
    area_->setActiveSubWindow(selected.first());
    accept();
}

void CWindowsDlg::OnSave() {
    auto* frame = qobject_cast<CMainFrame*>(parentWidget());
    if (frame == nullptr || area_ == nullptr) return;
    for (QMdiSubWindow* window : Selected()) {
        area_->setActiveSubWindow(window);
        frame->OnFileSave();
    }
}

void CWindowsDlg::OnCloseWindows() {
    for (QMdiSubWindow* window : Selected()) {
        QPointer<QMdiSubWindow> guard(window);
        if (guard && guard->close()) closed_.insert(window);
    }
    Fill();
}

void CWindowsDlg::OnMinimize() {
    for (QMdiSubWindow* window : Selected()) window->showMinimized();
}
