// Test seams shared by both implementations: the clock and the message boxes.
#include <atomic>
#include <cstring>

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

// ---- LocalFile's buffering (the system calls are each implementation's)

void LocalFile::Write(const void* data, size_t len) {
    if (!m_buffer) m_buffer.reset(new char[kBufferSize]);
    if (m_buffered + len > kBufferSize && !Flush()) throw FileError("write failed");
    if (len >= kBufferSize) {
        if (!WriteThrough(data, len)) throw FileError("write failed");
        return;
    }
    memcpy(m_buffer.get() + m_buffered, data, len);
    m_buffered += len;
}

bool LocalFile::Flush() {
    const size_t n = m_buffered;
    m_buffered = 0;
    return n == 0 || WriteThrough(m_buffer.get(), n);
}

}  // namespace platform
