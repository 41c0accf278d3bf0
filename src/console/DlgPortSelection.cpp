#include "console/DlgPortSelection.h"

#include <QCheckBox>
#include <QEvent>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>

#include "console/DialogUnits.h"

const char* const CDlgPortSelection::kMustSelectText =
    "You must select a serial port from the list.";
const char* const CDlgPortSelection::kNoPortsText =
    "ERROR:\r\nA serial port has not been selected.\r\n\r\nYour machne does not have any serial "
    "ports!";
const char* const CDlgPortSelection::kNoNumberText =
    "ERROR:\r\nThis port could not be given a COM number.\r\n\r\n";

namespace {

// Item data role holding an entry's 32-bit port value.
constexpr int kPortValueRole = Qt::UserRole;

}  // namespace

CDlgPortSelection::CDlgPortSelection(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Dialog"));
    // A modal frame with caption and system menu: no resizing, no help.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setModal(true);

    QFont font(QStringLiteral("Calibri"));
    font.setPointSize(12);
    DialogUnits du(font);
    du.ApplyToDialog(this, 262, 210);

    presentOnlyBox = new QCheckBox(QStringLiteral("Only list present Serial Ports."), this);
    presentOnlyBox->setObjectName(QStringLiteral("1000"));
    du.Place(presentOnlyBox, 7, 7, 181, 15);

    physicalOnlyBox =
        new QCheckBox(QStringLiteral("Only list physical Serial Ports (no Virtual Ports)."), this);
    physicalOnlyBox->setObjectName(QStringLiteral("1001"));
    du.Place(physicalOnlyBox, 7, 23, 181, 15);

    portList = new QListWidget(this);
    portList->setObjectName(QStringLiteral("1003"));
    portList->setSelectionMode(QAbstractItemView::SingleSelection);
    portList->setSortingEnabled(false);
    portList->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    portList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    portList->viewport()->installEventFilter(this);
    du.Place(portList, 7, 51, 248, 134);

    cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    cancelButton->setObjectName(QStringLiteral("2"));
    cancelButton->setAutoDefault(false);
    du.Place(cancelButton, 54, 189, 50, 14);

    okButton = new QPushButton(QStringLiteral("OK"), this);
    okButton->setObjectName(QStringLiteral("1"));
    okButton->setDefault(true);
    du.Place(okButton, 157, 189, 50, 14);

    // Tab order as the template lists the controls.
    setTabOrder(presentOnlyBox, physicalOnlyBox);
    setTabOrder(physicalOnlyBox, portList);
    setTabOrder(portList, cancelButton);
    setTabOrder(cancelButton, okButton);

    connect(okButton, &QPushButton::clicked, this, &CDlgPortSelection::OnOK);
    connect(cancelButton, &QPushButton::clicked, this, &CDlgPortSelection::OnCancel);
    connect(presentOnlyBox, &QCheckBox::clicked, this, &CDlgPortSelection::OnClickedPresentOnly);
    connect(physicalOnlyBox, &QCheckBox::clicked, this,
            &CDlgPortSelection::OnClickedPhysicalOnly);
}

int CDlgPortSelection::AskForPort(QWidget* parent, const PortListRoots& roots) {
    CDlgPortSelection dialog(parent);
    dialog.roots = roots;
    dialog.presentOnly = true;
    dialog.physicalOnly = false;
    dialog.selectedPort = -1;
    dialog.exec();
    return dialog.selectedPort;
}

void CDlgPortSelection::showEvent(QShowEvent* event) {
    if (!initialised_) OnInitDialog();
    QDialog::showEvent(event);
}

void CDlgPortSelection::OnInitDialog() {
    initialised_ = true;
    // The boxes show the options the list is built with.
    physicalOnlyBox->setChecked(physicalOnly);
    presentOnlyBox->setChecked(presentOnly);
    FillPortList();
    presentOnlyBox->setFocus();
}

void CDlgPortSelection::FillPortList() {
    presentOnlyBox->setEnabled(false);
    physicalOnlyBox->setEnabled(false);
    portList->clear();
    entries_.clear();
    EnumerateSerialPorts(presentOnly, physicalOnly, entries_, roots);
    for (const SerialPortEntry& entry : entries_) {
        auto* item = new QListWidgetItem(QString::fromLocal8Bit(entry.text), portList);
        item->setData(kPortValueRole, entry.portValue);
    }
    presentOnlyBox->setEnabled(true);
    physicalOnlyBox->setEnabled(true);
}

int CDlgPortSelection::SelectedIndex() const {
    const QList<QListWidgetItem*> selected = portList->selectedItems();
    if (selected.isEmpty()) return -1;
    return portList->row(selected.first());
}

void CDlgPortSelection::AcceptEntry(int index) {
    std::string error;
    std::int32_t port = AcceptPortEntry(entries_[static_cast<std::size_t>(index)], roots, &error);
    if (port < 0) {
        // The adapter could not be numbered (unplugged, folder not
        // writable): say why and let the operator choose again.
        ShowMessage(QString::fromLatin1(kNoNumberText) + QString::fromLocal8Bit(error));
        return;
    }
    selectedPort = port;
    accept();
}

void CDlgPortSelection::OnOK() {
    const int index = SelectedIndex();
    const int count = portList->count();
    if (index >= 0 && count > 0) {
        AcceptEntry(index);
    } else if (count > 0) {
        ShowMessage(QString::fromLatin1(kMustSelectText));
    } else {
        selectedPort = -1;
        ShowMessage(QString::fromLatin1(kNoPortsText));
        QDialog::reject();
    }
}

void CDlgPortSelection::OnCancel() {
    selectedPort = -1;
    QDialog::reject();
}

void CDlgPortSelection::reject() { OnCancel(); }

void CDlgPortSelection::OnClickedPresentOnly() {
    presentOnly = presentOnlyBox->isChecked();
    FillPortList();
}

void CDlgPortSelection::OnClickedPhysicalOnly() {
    physicalOnly = physicalOnlyBox->isChecked();
    FillPortList();
}

void CDlgPortSelection::OnDblclkPortList() {
    const int index = SelectedIndex();
    if (index >= 0 && portList->count() > 0) AcceptEntry(index);
}

bool CDlgPortSelection::eventFilter(QObject* watched, QEvent* event) {
    // A double click anywhere in the list acts on the selected entry; the
    // press before it has already moved the selection.
    if (watched == portList->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        OnDblclkPortList();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void CDlgPortSelection::ShowMessage(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Kestova"), text, QMessageBox::Ok, this);
    box.exec();
}
