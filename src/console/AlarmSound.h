#pragma once
// The alarm's sound and the desktop's notification. While alarms are open
// the sound repeats every kRepeatMs until they are all acknowledged or the
// operator mutes it for a while. Without an audio device (or with a sound
// that cannot be played) the system bell stands in, and the console is told
// once (NoAudio). A desktop notification goes out for each new alarm where
// a session bus is there; nothing needs one.
#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

class QSoundEffect;

class AlarmSound : public QObject {
    Q_OBJECT
public:
    static constexpr int kRepeatMs = 10000;
    explicit AlarmSound(QObject* parent = nullptr);
    ~AlarmSound() override;

    // How many alarms are open: the sound repeats while there are any.
    void SetOpenAlarms(qint64 count);
    // A new alarm: sounds at once (unless muted) and tells the desktop.
    void Alarm(const QString& title, const QString& text);
    // Sounds once now: the effect, or the bell where there is no audio.
    void Ring();
    // No sound until `minutes` from now (0: sound again).
    void Mute(int minutes);
    bool Muted() const { return mutedUntil_.isValid() && QDateTime::currentDateTime() < mutedUntil_; }
    QDateTime MutedUntil() const { return Muted() ? mutedUntil_ : QDateTime(); }
    bool Repeating() const { return repeat_.isActive(); }
    // True once the bell has stood in for the sound.
    bool UsesBell() const { return bell_; }
    int Rings() const { return rings_; }
    // The alarm sound file found beside the program, in the build tree or
    // in the installed share folder ("" when none).
    static QString SoundFile();

signals:
    // Once, the first time the bell stands in for the sound.
    void NoAudio(const QString& line);
    // Muted or sounding again.
    void MuteChanged();

private:
    bool AudioUsable();
    void Notify(const QString& title, const QString& text);
    QSoundEffect* effect_ = nullptr;
    QTimer repeat_;
    QTimer unmute_;
    QDateTime mutedUntil_;
    QElapsedTimer lastRing_;
    qint64 open_ = 0;
    int rings_ = 0;
    bool bell_ = false;
    bool told_ = false;
};
