// The X keyboard's indicator lights (bit 0 Caps Lock, 1 Num Lock, 2 Scroll
// Lock), kept apart from the Qt code because of the X headers' macros.
#if defined(KESTOVA_HAVE_X11)
#include <X11/XKBlib.h>

bool ReadX11LockIndicators(void* display, unsigned int* state) {
    return XkbGetIndicatorState(static_cast<Display*>(display), XkbUseCoreKbd, state) == Success;
}
#endif
