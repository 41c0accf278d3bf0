#include "console/AlarmSound.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFileInfo>
#include <QUrl>

#ifdef KESTOVA_HAVE_MULTIMEDIA
#include <QAudioDevice>
#include <QMediaDevices>
#include <QSoundEffect>
#endif
#ifdef KESTOVA_HAVE_DBUS
#include <QDBusConnection>
#include <QDBusMessage>
#endif

namespace {

constexpr const char* kSoundName = "kestova-alarm.wav";

}  // namespace

AlarmSound::AlarmSound(QObject* parent) : QObject(parent) {
    repeat_.setInterval(kRepeatMs);
    connect(&repeat_, &QTimer::timeout, this, &AlarmSound::Ring);
    unmute_.setSingleShot(true);
    connect(&unmute_, &QTimer::timeout, this, [this]() {
        mutedUntil_ = QDateTime();
        emit MuteChanged();
        if (open_ > 0) Ring();
    });
}

AlarmSound::~AlarmSound() = default;

QString AlarmSound::SoundFile() {
    const QString dir = QCoreApplication::applicationDirPath();
    const QString name = QString::fromLatin1(kSoundName);
    for (const QString& candidate :
         {dir + QLatin1Char('/') + name, dir + QStringLiteral("/../share/kestova/") + name,
          QStringLiteral("/usr/share/kestova/") + name}) {
        if (QFileInfo(candidate).isFile()) return QFileInfo(candidate).canonicalFilePath();
    }
    return {};
}

bool AlarmSound::AudioUsable() {
#ifdef KESTOVA_HAVE_MULTIMEDIA
    if (bell_) return false;
    if (effect_ == nullptr) {
        const QString file = SoundFile();
        if (file.isEmpty() || QMediaDevices::audioOutputs().isEmpty()) return false;
        effect_ = new QSoundEffect(this);
        // A sound that turns out not to play: the bell from then on, at once.
        connect(effect_, &QSoundEffect::statusChanged, this, [this]() {
            if (effect_->status() != QSoundEffect::Error || bell_) return;
            lastRing_.invalidate();
            bell_ = true;
            Ring();
        });
        effect_->setSource(QUrl::fromLocalFile(file));
        effect_->setVolume(1.0);
    }
    return effect_->status() != QSoundEffect::Error;
#else
    return false;
#endif
}

void AlarmSound::Ring() {
    if (Muted() || open_ <= 0) return;
    // A new alarm and the count that follows it ring once.
    if (lastRing_.isValid() && lastRing_.elapsed() < 1000) return;
    lastRing_.start();
    ++rings_;
#ifdef KESTOVA_HAVE_MULTIMEDIA
    if (AudioUsable()) {
        effect_->play();
        return;
    }
#endif
    bell_ = true;
    QApplication::beep();
    if (!told_) {
        told_ = true;
        emit NoAudio(QStringLiteral("No audio device: alarms sound as the system bell.\n"));
    }
}

void AlarmSound::SetOpenAlarms(qint64 count) {
    const bool was = open_ > 0;
    open_ = count;
    if (count <= 0) {
        repeat_.stop();
#ifdef KESTOVA_HAVE_MULTIMEDIA
        if (effect_ != nullptr) effect_->stop();
#endif
        return;
    }
    if (!repeat_.isActive()) repeat_.start();
    if (!was) Ring();
}

void AlarmSound::Alarm(const QString& title, const QString& text) {
    if (open_ <= 0) open_ = 1;  // the count follows; the sound must not wait for it
    if (!repeat_.isActive()) repeat_.start();
    Ring();
    Notify(title, text);
}

void AlarmSound::Mute(int minutes) {
    if (minutes <= 0) {
        unmute_.stop();
        mutedUntil_ = QDateTime();
    } else {
        mutedUntil_ = QDateTime::currentDateTime().addSecs(60LL * minutes);
        unmute_.start(minutes * 60 * 1000);
#ifdef KESTOVA_HAVE_MULTIMEDIA
        if (effect_ != nullptr) effect_->stop();
#endif
    }
    emit MuteChanged();
}

void AlarmSound::Notify(const QString& title, const QString& text) {
#ifdef KESTOVA_HAVE_DBUS
    // Only where a session bus is already there: nothing is started for it,
    // and the call does not wait for an answer.
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(2));  // critical
    call << QStringLiteral("Kestova") << uint(0) << QStringLiteral("dialog-warning") << title
         << text.toHtmlEscaped() << QStringList() << hints << int(-1);
    bus.call(call, QDBus::NoBlock);
#else
    Q_UNUSED(title);
    Q_UNUSED(text);
#endif
}
