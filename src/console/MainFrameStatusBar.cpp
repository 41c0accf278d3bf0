#include "console/MainFrame.h"

#include "console/FrameHost.h"
#include "engine/Collector.h"

// The status bar: the message pane, the radio link pane and the lock-key
// indicators.
#include <QLabel>
#include <QStatusBar>
#include <QTimer>

#include "common/LinkStatus.h"
#include "console/AlarmSound.h"
#include "console/ChildFrame.h"
#include "console/ConsoleHistory.h"
#include "console/LockKeys.h"
#include "console/MainView.h"
#include "console/RichEditScopeView.h"

#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPushButton>

namespace {

// The banner's count is read again this often as well, so an acknowledgement
// made elsewhere (kestova-trains --ack, the collector's ack) shows.
constexpr int kAlarmPollMs = 2000;

}  // namespace

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
    alarmBanner_ = new QPushButton(bar);
    alarmBanner_->setObjectName(QStringLiteral("alarmBanner"));
    alarmBanner_->setFlat(true);
    alarmBanner_->setCursor(Qt::PointingHandCursor);
    alarmBanner_->setToolTip(QStringLiteral("Open the Alarms view"));
    alarmBanner_->setStyleSheet(QStringLiteral(
        "QPushButton { background: #c00000; color: white; font-weight: bold; border: 1px solid #800000;"
        " padding: 1px 8px; } QPushButton:hover { background: #e00000; }"));
    alarmBanner_->hide();
    connect(alarmBanner_, &QPushButton::clicked, this, [this]() { OpenAlarmsView(); });
    bar->addPermanentWidget(alarmBanner_);
    sound_ = new AlarmSound(this);
    connect(sound_, &AlarmSound::MuteChanged, this, &CMainFrame::ShowAlarmBanner);
    connect(sound_, &AlarmSound::NoAudio, this, &CMainFrame::TellInMainPane);
    auto* alarmTimer = new QTimer(this);
    alarmTimer->setInterval(kAlarmPollMs);
    connect(alarmTimer, &QTimer::timeout, this, &CMainFrame::UpdateAlarms);
    alarmTimer->start();
    UpdateAlarms();
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

void CMainFrame::UpdateAlarms() {
    ConsoleHistory* h = ConsoleHistory::Instance();
    if (h != nullptr && watchedHistory_ != h) {
        // The history may come after the frame: its signals are taken up
        // the first time it is there.
        watchedHistory_ = h;
        connect(h, &ConsoleHistory::AlarmsChanged, this, &CMainFrame::UpdateAlarms);
        connect(h, &ConsoleHistory::TrainsChanged, this, &CMainFrame::UpdateAlarms);
        connect(h, &ConsoleHistory::NewAlarm, this,
                [this](qint64, const QString& title, const QString& text) { sound_->Alarm(title, text); });
    }
    const qint64 open = h != nullptr ? h->UnacknowledgedAlarms() : 0;
    sound_->SetOpenAlarms(open);
    if (open == openAlarms_ && alarmBanner_->isHidden() == (open <= 0)) return;
    openAlarms_ = open;
    ShowAlarmBanner();
    UpdateCaption();
}

void CMainFrame::ShowAlarmBanner() {
    if (openAlarms_ <= 0) {
        alarmBanner_->hide();
        return;
    }
    QString text = openAlarms_ == 1 ? QStringLiteral("1 unacknowledged alarm")
                                    : QStringLiteral("%1 unacknowledged alarms").arg(openAlarms_);
    if (sound_->Muted())
        text += QStringLiteral(" - muted until %1").arg(sound_->MutedUntil().toString(QStringLiteral("HH:mm")));
    alarmBanner_->setText(text);
    alarmBanner_->show();
}

void CMainFrame::TellInMainPane(const QString& line) {
    for (QMdiSubWindow* w : mdiArea_->subWindowList(QMdiArea::CreationOrder)) {
        auto* child = qobject_cast<CChildFrame*>(w);
        auto* view = child != nullptr ? qobject_cast<CMainView*>(child->widget()) : nullptr;
        if (view == nullptr) continue;
        view->Pane()->AppendColoured(COLOUR_DARK_RED, line.toLatin1().constData());
        return;
    }
    // No main view open: the status line says it instead.
    messagePane_->setText(line.trimmed());
}
