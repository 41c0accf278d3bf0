#include "common/Messages.h"

#include <mutex>
#include <unordered_map>

namespace {
std::mutex registryMutex;
std::unordered_map<WindowHandle, std::shared_ptr<IWindowTarget>>& Registry() {
    static std::unordered_map<WindowHandle, std::shared_ptr<IWindowTarget>> registry;
    return registry;
}
WindowHandle nextHandle = 0x100;
}  // namespace

WindowHandle RegisterWindow(std::shared_ptr<IWindowTarget> target) {
    std::lock_guard<std::mutex> lock(registryMutex);
    WindowHandle handle = nextHandle++;
    if (nextHandle == 0) nextHandle = 0x100;
    Registry()[handle] = std::move(target);
    return handle;
}

void UnregisterWindow(WindowHandle handle) {
    std::shared_ptr<IWindowTarget> keep;
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        auto it = Registry().find(handle);
        if (it == Registry().end()) return;
        keep = std::move(it->second);
        Registry().erase(it);
    }
    // keep is released here, outside the lock.
}

std::intptr_t SendWindowMessage(WindowHandle handle, std::uint32_t message, WPARAM wParam,
                                LPARAM lParam) {
    if (handle == 0) return 0;
    std::shared_ptr<IWindowTarget> target;
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        auto it = Registry().find(handle);
        if (it == Registry().end()) return 0;
        target = it->second;
    }
    return target->HandleMessage(message, wParam, lParam);
}
