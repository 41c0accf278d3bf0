#include "console/MainFrame.h"

#include "console/FrameHost.h"
#include "engine/Collector.h"

// The status bar: the message pane, the radio link pane and the lock-key
// indicators.
#include <QLabel>
#include <QStatusBar>
#include <QTimer>

#include "common/LinkStatus.h"
#include "console/LockKeys.h"

void CMainFrame::CreateStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName(QStringLiteral("statusBar"));
    messagePane_ = new QLabel(QStringLiteral("Ready"), bar);
    messagePane_->setObjectName(QStringLiteral("messagePane"));
    bar->addWidget(messagePane_, 1);
    auto indicator = [bar](const char* text, const char* name) {
        auto* label = new QLabel(QString::fromLatin1(text), bar);
        label->setObjectName(QString::fromLatin1(name));
        label->setAlignment(Qt::AlignCenter);
        label->setMinimumWidth(label->fontMetrics().horizontalAdvance(label->text()) + 12);
        label->setFrameShape(QFrame::StyledPanel);
        label->setFrameShadow(QFrame::Sunken);
        bar->addPermanentWidget(label);
        return label;
    };
    linkPane_ = new QLabel(bar);
    linkPane_->setObjectName(QStringLiteral("linkPane"));
    linkPane_->setFrameShape(QFrame::StyledPanel);
    linkPane_->setFrameShadow(QFrame::Sunken);
    linkPane_->setToolTip(QStringLiteral("The radio port, its device, whether it is open, "
                                         "and when the last good frame came in"));
    bar->addPermanentWidget(linkPane_);
    auto* linkTimer = new QTimer(this);
    linkTimer->setInterval(1000);
    connect(linkTimer, &QTimer::timeout, this, &CMainFrame::UpdateLinkPane);
    linkTimer->start();
    UpdateLinkPane();
    capsPane_ = indicator("CAP", "capsIndicator");
    numPane_ = indicator("NUM", "numIndicator");
    scrollPane_ = indicator("SCRL", "scrollIndicator");
    lockKeys_ = new LockKeys(this);
    connect(lockKeys_, &LockKeys::Changed, this, &CMainFrame::UpdateLockIndicators);
    UpdateLockIndicators();
}

void CMainFrame::UpdateLockIndicators() {
    // The indicator's text is there only while its lock is on; the pane
    // keeps its width.
    capsPane_->setText(lockKeys_->Caps() ? QStringLiteral("CAP") : QString());
    numPane_->setText(lockKeys_->Num() ? QStringLiteral("NUM") : QString());
    scrollPane_->setText(lockKeys_->Scroll() ? QStringLiteral("SCRL") : QString());
}

void CMainFrame::UpdateLinkPane() {
    Collector* collector = host_ != nullptr ? host_->GetCollector() : nullptr;
    const LinkStatus status = collector != nullptr ? collector->LinkNow() : LinkStatus{};
    QString text = QString::fromStdString(FormatLinkPort(status));
    const std::string state = FormatLinkState(status);
    if (!state.empty()) text += QStringLiteral("  |  ") + QString::fromStdString(state);
    if (status.comNumber >= 0) text += QStringLiteral("  |  ") + QString::fromStdString(FormatLastFrame(status));
    // Train reports the data folder refused, held until it takes them.
    const std::string held = collector != nullptr ? collector->HeldSummary() : std::string();
    if (!held.empty()) text += QStringLiteral("  |  ") + QString::fromStdString(held);
    if (const std::string transfer = collector != nullptr ? collector->TransferSummary() : std::string();
        !transfer.empty())
        text += QStringLiteral("  |  ") + QString::fromStdString(transfer);
    if (linkPane_->text() != text) linkPane_->setText(text);
    // Dark red and bold while the radio cannot be heard or trains are held.
    const bool bad = status.state == LinkState::NotOpen || status.state == LinkState::Lost || !held.empty();
    if (linkPane_->property("bad").toBool() != bad) {
        linkPane_->setProperty("bad", bad);
        linkPane_->setStyleSheet(bad ? QStringLiteral("QLabel { color: #800000; font-weight: bold; }") : QString());
    }
}
