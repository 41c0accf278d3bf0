#include "console/DlgCmndEcho.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <string_view>

#include "engine/Collector.h"
#include "console/DialogUnits.h"
#include "console/RichEditScopeView.h"
#include "platform/Profile.h"

std::int32_t ReadFieldNumber(const QString& text) {
    const QByteArray bytes = text.left(29).toLatin1();
    return ParseLeadingInt(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

CDlgCmndEcho::CDlgCmndEcho(Collector* collector, ScopeFeed* feed, QWidget* parent)
    : QDialog(parent), collector_(collector), feed_(feed) {
    setObjectName(QStringLiteral("CDlgCmndEcho"));
    setWindowTitle(QStringLiteral("Dialog"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    // Template 312: 356 x 226 dialog units, Calibri 11.
    const QFont font(QStringLiteral("Calibri"), 11);
    const DialogUnits du(font);
    du.ApplyToDialog(this, 356, 226);

    auto* remoteLabel = new QLabel(QStringLiteral("Remote Radio ID"), this);
    du.Place(remoteLabel, 7, 10, 70, 10);
    remote_ = new QLineEdit(this);
    remote_->setObjectName(QStringLiteral("1005"));
    du.Place(remote_, 82, 7, 60, 14);

    auto* lengthLabel = new QLabel(QStringLiteral("Total Chars to Echo"), this);
    du.Place(lengthLabel, 7, 28, 74, 10);
    length_ = new QLineEdit(this);
    length_->setObjectName(QStringLiteral("1006"));
    du.Place(length_, 82, 25, 60, 14);

    send_ = new QPushButton(QStringLiteral("OK"), this);
    send_->setObjectName(QStringLiteral("1"));
    send_->setDefault(true);
    du.Place(send_, 160, 7, 60, 14);
    close_ = new QPushButton(QStringLiteral("Close/Exit"), this);
    close_->setObjectName(QStringLiteral("2"));
    du.Place(close_, 160, 25, 60, 14);
    // Enter is "Send Cmnd" wherever the focus is in the dialog: the close
    // button never becomes the default, and the pane passes Enter on.
    close_->setAutoDefault(false);

    pane_ = new CRichEditScopeView(this);
    pane_->setObjectName(QStringLiteral("1007"));
    pane_->setFont(font);
    du.Place(pane_, 7, 45, 342, 174);

    setTabOrder(remote_, length_);
    setTabOrder(length_, pane_);
    setTabOrder(pane_, send_);
    setTabOrder(send_, close_);

    connect(send_, &QPushButton::clicked, this, &CDlgCmndEcho::OnSend);
    connect(close_, &QPushButton::clicked, this, &CDlgCmndEcho::OnClose);

    OnInitDialog();
}

CDlgCmndEcho::~CDlgCmndEcho() {
    if (feed_) feed_->ReleaseEchoDialog(this);
}

void CDlgCmndEcho::OnInitDialog() {
    if (feed_) feed_->SetEchoDialog(this);
    send_->setText(QStringLiteral("Send Cmnd"));
    remote_->setText(QString::number(collector_ != nullptr ? collector_->EchoSite() : 0));
    length_->setText(QString::number(collector_ != nullptr ? collector_->EchoLength() : 40));
    remote_->setFocus();
}

void CDlgCmndEcho::OnSend() {
    if (collector_ == nullptr) return;
    // Both values are in place before the worker can see the request.
    collector_->RequestEcho(static_cast<std::uint8_t>(ReadFieldNumber(remote_->text()) & 0xFF),
                            ReadFieldNumber(length_->text()));
}

void CDlgCmndEcho::OnClose() {
    if (feed_) feed_->ReleaseEchoDialog(this);
    if (collector_ != nullptr) collector_->CancelEcho();
    QDialog::reject();
}

std::intptr_t CDlgCmndEcho::OnWindowMessage(std::uint32_t message, WPARAM, LPARAM lParam) {
    if (lParam == 0) return 0;
    const char* text = reinterpret_cast<const char*>(lParam);
    if (message == WM_ECHO_TEXT) {
        pane_->AppendTimeStamp(ScopeChannel::Plain);
        pane_->AppendColoured(COLOUR_DARK_BLUE, text);
    } else if (message == WM_ECHO_TEXT_GREEN) {
        pane_->AppendTimeStamp(ScopeChannel::Plain);
        pane_->AppendColoured(COLOUR_DARK_GREEN, text);
    }
    return 0;
}

void CDlgCmndEcho::EchoLine(const std::string& text) {
    OnWindowMessage(WM_ECHO_TEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}
