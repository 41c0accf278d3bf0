#pragma once
// The echo command dialog: the operator picks a remote radio and a length,
// "Send Cmnd" leaves the request for the worker, and each echo the worker
// sends is reported back into the dialog's pane.
#include <QDialog>
#include <QPointer>
#include <string>
#include <cstdint>
#include <memory>

#include "common/Messages.h"
#include "console/ScopeFeed.h"

class Collector;
class CRichEditScopeView;
class ScopeFeed;
class QLineEdit;
class QPushButton;

class CDlgCmndEcho : public QDialog {
    Q_OBJECT
public:
    static constexpr int IDC_REMOTE_ID = 1005;
    static constexpr int IDC_ECHO_LENGTH = 1006;
    static constexpr int IDC_ECHO_PANE = 1007;

    // The requests go to `collector`; the echo lines come from `feed`
    // (either may be null: the dialog then only shows itself).
    CDlgCmndEcho(Collector* collector, ScopeFeed* feed, QWidget* parent = nullptr);
    ~CDlgCmndEcho() override;

    // "Send Cmnd": asks the collector for an echo to the remote identifier
    // (low 8 bits) with the length. The dialog stays open.
    void OnSend();
    // "Close/Exit": withdraws a request not yet taken and closes.
    void OnClose();

    // WM_ECHO_TEXT (dark blue) and WM_USER+411 (dark green) on the
    // user-interface thread.
    std::intptr_t OnWindowMessage(std::uint32_t message, WPARAM wParam, LPARAM lParam);
    // A line of the worker's for the dialog (WM_ECHO_TEXT).
    void EchoLine(const std::string& text);

    QLineEdit* RemoteField() const { return remote_; }
    QLineEdit* LengthField() const { return length_; }
    CRichEditScopeView* Pane() const { return pane_; }
    QPushButton* SendButton() const { return send_; }
    QPushButton* CloseButton() const { return close_; }

    void accept() override { OnSend(); }
    void reject() override { OnClose(); }

private:
    void OnInitDialog();

    QLineEdit* remote_;
    QLineEdit* length_;
    CRichEditScopeView* pane_;
    QPushButton* send_;
    QPushButton* close_;
    Collector* collector_;
    QPointer<ScopeFeed> feed_;
};

// A field's number the way the dialog reads it: at most 29 characters,
// leading blanks and a sign allowed, digits up to the first other
// character; text that does not begin with a number is 0. Values beyond
// the 32-bit range stop at its ends.
std::int32_t ReadFieldNumber(const QString& text);
