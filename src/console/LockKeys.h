#pragma once
// Caps Lock, Num Lock and Scroll Lock for the status bar. Under X the
// keyboard's indicator state is read; elsewhere the state follows the lock
// key presses the console sees (it starts as "off").
#include <QObject>

class LockKeys : public QObject {
    Q_OBJECT
public:
    explicit LockKeys(QObject* parent = nullptr);
    ~LockKeys() override;

    bool Caps() const { return caps_; }
    bool Num() const { return num_; }
    bool Scroll() const { return scroll_; }
    // Re-reads the state; emits Changed when it differs.
    void Poll();

signals:
    void Changed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool ReadSystemState(bool* caps, bool* num, bool* scroll);
    void Set(bool caps, bool num, bool scroll);

    bool caps_ = false;
    bool num_ = false;
    bool scroll_ = false;
    bool system_ = false;  // the state comes from the system, not from key presses
};
