#pragma once
// The serial port selection dialog: lists the machine's serial ports, lets
// the operator narrow the list to present and to physical ports, and hands
// back the COM number of the chosen entry, or -1 when none was chosen. It
// writes no settings and opens no port; the only thing it may create is
// the Ports/COM<n> link that gives an unnumbered adapter its number.
#include <QDialog>
#include <QString>
#include <vector>

#include "platform/PortList.h"

class QCheckBox;
class QListWidget;
class QPushButton;

class CDlgPortSelection : public QDialog {
    Q_OBJECT
public:
    explicit CDlgPortSelection(QWidget* parent = nullptr);

    // Runs the dialog modally the way start-up does (present ports only,
    // virtual ports included) and returns the chosen COM number or -1.
    static int AskForPort(QWidget* parent = nullptr, const PortListRoots& roots = PortListRoots());

    // Set by the caller before exec(); read afterwards.
    int selectedPort = -1;      // -1 = no port chosen, else the COM number
    bool presentOnly = true;    // "Only list present Serial Ports."
    bool physicalOnly = false;  // "Only list physical Serial Ports (no Virtual Ports)."
    // Where the ports are looked for (tests use fixture trees).
    PortListRoots roots;

    // Controls, by their template numbers: 1001, 1000, 1003.
    QCheckBox* physicalOnlyBox = nullptr;
    QCheckBox* presentOnlyBox = nullptr;
    QListWidget* portList = nullptr;
    QPushButton* okButton = nullptr;
    QPushButton* cancelButton = nullptr;

    static const char* const kMustSelectText;
    static const char* const kNoPortsText;
    static const char* const kNoNumberText;

    // Sets the boxes from the options and fills the list; runs once when
    // the dialog is first shown.
    void OnInitDialog();
    // Rebuilds the list from the options.
    void FillPortList();
    // The entries behind the list's items, in the same order.
    const std::vector<SerialPortEntry>& Entries() const { return entries_; }

public slots:
    void OnOK();
    void OnCancel();
    void OnClickedPresentOnly();
    void OnClickedPhysicalOnly();
    void OnDblclkPortList();

protected:
    // A modal message box with an OK button; tests record instead.
    virtual void ShowMessage(const QString& text);
    void showEvent(QShowEvent* event) override;
    void reject() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Index of the selected entry, or -1.
    int SelectedIndex() const;
    // Takes the entry as the result and closes accepted; an unnumbered
    // entry first gets its number (see AcceptPortEntry).
    void AcceptEntry(int index);

    std::vector<SerialPortEntry> entries_;
    bool initialised_ = false;
};
