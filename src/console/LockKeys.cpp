#include "console/LockKeys.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QTimer>

#if defined(KESTOVA_HAVE_X11)
#include <QtGui/qguiapplication_platform.h>
// In LockKeysX11.cpp, away from the X headers' macros.
bool ReadX11LockIndicators(void* display, unsigned int* state);
#endif

LockKeys::LockKeys(QObject* parent) : QObject(parent) {
    bool caps = false, num = false, scroll = false;
    system_ = ReadSystemState(&caps, &num, &scroll);
    Set(caps, num, scroll);
    if (system_) {
        auto* timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, &LockKeys::Poll);
        timer->start(250);
    } else if (QCoreApplication::instance() != nullptr) {
        QCoreApplication::instance()->installEventFilter(this);
    }
}

LockKeys::~LockKeys() {
    if (!system_ && QCoreApplication::instance() != nullptr)
        QCoreApplication::instance()->removeEventFilter(this);
}

bool LockKeys::ReadSystemState(bool* caps, bool* num, bool* scroll) {
#if defined(KESTOVA_HAVE_X11)
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (x11 == nullptr || x11->display() == nullptr) return false;
    unsigned int state = 0;
    if (!ReadX11LockIndicators(x11->display(), &state)) return false;
    *caps = (state & 0x1) != 0;
    *num = (state & 0x2) != 0;
    *scroll = (state & 0x4) != 0;
    return true;
#else
    (void)caps;
    (void)num;
    (void)scroll;
    return false;
#endif
}

void LockKeys::Poll() {
    bool caps = caps_, num = num_, scroll = scroll_;
    if (ReadSystemState(&caps, &num, &scroll)) Set(caps, num, scroll);
}

void LockKeys::Set(bool caps, bool num, bool scroll) {
    if (caps == caps_ && num == num_ && scroll == scroll_) return;
    caps_ = caps;
    num_ = num;
    scroll_ = scroll;
    emit Changed();
}

bool LockKeys::eventFilter(QObject* watched, QEvent* event) {
    // A key press reaches the filter once for the window and again for each
    // widget on its way; the window's delivery is counted.
    if (event->type() == QEvent::KeyPress && watched->isWindowType()) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (!key->isAutoRepeat()) {
            switch (key->key()) {
                case Qt::Key_CapsLock: Set(!caps_, num_, scroll_); break;
                case Qt::Key_NumLock: Set(caps_, !num_, scroll_); break;
                case Qt::Key_ScrollLock: Set(caps_, num_, !scroll_); break;
                default: break;
            }
        }
    }
    return QObject::eventFilter(watched, event);
}
