// Test seams shared by both implementations: the clock and the message boxes.
#include <atomic>

#include "platform/platform.h"
#include "platform/platform_detail.h"

namespace platform {
namespace {
std::atomic<void (*)(std::tm*)> g_clock{nullptr};
std::atomic<int (*)(const char*, const char*, unsigned)> g_messageHook{nullptr};
}  // namespace

void LocalTime(std::tm* out) {
    if (auto clock = g_clock.load()) {
        clock(out);
    } else {
        detail::SystemLocalTime(out);
    }
}

void SetClockForTesting(void (*clock)(std::tm*)) { g_clock.store(clock); }

int ShowMessageBox(const char* text, const char* caption, unsigned style) {
    if (auto hook = g_messageHook.load()) return hook(text, caption, style);
    return detail::SystemMessageBox(text, caption, style);
}

void SetMessageBoxHookForTesting(int (*hook)(const char*, const char*, unsigned)) {
    g_messageHook.store(hook);
}

}  // namespace platform
