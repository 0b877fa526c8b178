// The parts of the platform layer both implementations share: the test seams (clock,
// message boxes, the executable's folder), the error type's text, the walk down a path
// of folders, and LocalFile's buffering.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "common/text.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/message.h"
#include "platform/process.h"
#include "platform/platform_detail.h"

namespace platform {
namespace {
std::atomic<void (*)(std::tm*)> g_clock{nullptr};
std::atomic<uint32_t (*)()> g_tick{nullptr};
std::atomic<int64_t (*)()> g_utcSeconds{nullptr};
std::atomic<int (*)(const char*, const char*, unsigned)> g_messageHook{nullptr};
std::string g_moduleDirForTesting;  // set before any thread reads it

// The longest system text a SystemError carries: a log line must never be refused for
// the length of a reason.
constexpr size_t kMaxReason = 200;

std::string ErrorMessage(const char* step, long code, const std::string& reason) {
    size_t len = 0;
    while (len < reason.size() && len < kMaxReason) len += GbkCharWidth(reason.c_str() + len);
    std::string text = std::string(step) + " (" + std::to_string(code);
    if (len) text += ": " + reason.substr(0, len);
    return text + ")";
}

}  // namespace

void LocalTime(std::tm* out) {
    if (auto clock = g_clock.load()) {
        clock(out);
    } else {
        detail::SystemLocalTime(out);
    }
}

void SetClockForTesting(void (*clock)(std::tm*)) { g_clock.store(clock); }

uint32_t TickCount() {
    auto tick = g_tick.load();
    return tick ? tick() : detail::SystemTickCount();
}

void SetTickCountForTesting(uint32_t (*tick)()) { g_tick.store(tick); }

int64_t UtcSeconds() {
    auto now = g_utcSeconds.load();
    return now ? now() : static_cast<int64_t>(std::time(nullptr));
}

void SetUtcSecondsForTesting(int64_t (*now)()) { g_utcSeconds.store(now); }

int ShowMessageBox(const char* text, const char* caption, unsigned style) {
    if (auto hook = g_messageHook.load()) return hook(text, caption, style);
    return detail::SystemMessageBox(text, caption, style);
}

void SetMessageBoxHookForTesting(int (*hook)(const char*, const char*, unsigned)) {
    g_messageHook.store(hook);
}

void ShowMessage(const char* format, ...) {
    char text[2048] = {0};
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);  // longer texts are cut
    va_end(args);
    ShowMessageBox(text, nullptr, kMbOk);
}

void GetModuleDir(char* out) {
    if (!g_moduleDirForTesting.empty()) {
        if (!FormatText(out, 260, "%s", g_moduleDirForTesting.c_str())) out[0] = '\0';
        return;
    }
    if (!ModulePath(out, 260)) {
        out[0] = '\0';
        return;
    }
    CutAtLastSeparator(out);
}

void SetModuleDirForTesting(const char* folder) { g_moduleDirForTesting = folder ? folder : ""; }

// ---- Walks down from the install folder (each system opens one step its own way)

HeldFolder::HeldFolder() = default;
HeldFolder::~HeldFolder() = default;
HeldFolder::HeldFolder(const HeldFolder&) = default;
HeldFolder& HeldFolder::operator=(const HeldFolder&) = default;
HeldFolder::HeldFolder(HeldFolder&&) noexcept = default;
HeldFolder& HeldFolder::operator=(HeldFolder&&) noexcept = default;

bool HeldFolder::IsOpen() const { return m_impl != nullptr; }

HeldFolder::Result HeldFolder::OpenPath(const char* root, const char* relative, Links links,
                                        bool create) {
    HeldFolder start;
    const Result result = start.OpenRoot(root);
    return result == Result::kOpen ? OpenPath(start, relative, links, create) : result;
}

HeldFolder::Result HeldFolder::OpenPath(const HeldFolder& start, const char* relative, Links links,
                                        bool create) {
    HeldFolder at = start;
    Result result = at.IsOpen() ? Result::kOpen : Result::kFailed;
    std::string name;
    for (const char* p = relative; result == Result::kOpen && *p;) {
        const size_t width = GbkCharWidth(p);
        if (width == 1 && IsSeparator(*p)) {
            if (name == "..") return Result::kFailed;
            if (!name.empty() && name != ".") {
                HeldFolder next;
                result = next.OpenChild(at, name.c_str(), links, create);
                at = std::move(next);
            }
            name.clear();
        } else {
            name.append(p, width);
        }
        p += width;
    }
    if (result == Result::kOpen) *this = std::move(at);
    return result;
}

bool LinkOnTheWay(const char* root, const char* path, Links links) {
    const size_t rootLen = strlen(root);
    if (strncmp(path, root, rootLen) != 0) return true;
    HeldFolder folder;
    return folder.OpenPath(root, path + rootLen, links == Links::kTrusted ? links : Links::kNone,
                           false) == HeldFolder::Result::kRefusedLink;
}

// ---- Errors

SystemError::SystemError(const char* step) : std::runtime_error(step), m_code(0) {}

SystemError::SystemError(const char* step, long code, const std::string& reason)
    : std::runtime_error(ErrorMessage(step, code, reason)), m_code(code) {}

// ---- LocalFile's buffering (the system calls are each implementation's)

void LocalFile::Write(const void* data, size_t len) {
    if (!m_buffer) m_buffer.reset(new char[kBufferSize]);
    if (m_buffered + len > kBufferSize && !Flush()) throw LastError<FileError>("write failed");
    if (len >= kBufferSize) {
        if (!WriteThrough(data, len)) throw LastError<FileError>("write failed");
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

bool ReadWholeFile(const char* path, size_t limit, std::string& bytes) {
    bytes.clear();
    FILE* f = OpenFile(path, "rb");
    if (!f) return false;
    char buf[64 * 1024];
    size_t n;
    bool ok = true;
    while (ok && (n = fread(buf, 1, sizeof(buf), f)) > 0) {
        ok = n <= limit - bytes.size();
        if (ok) bytes.append(buf, n);
    }
    ok = ok && !ferror(f);
    fclose(f);
    return ok;
}

uint64_t LargestFileOn(const std::string& kind) {
    // FAT12, FAT16, FAT32 and the name Linux reports for all of them; not exFAT.
    return kind.compare(0, 3, "FAT") == 0 ? 0xFFFFFFFFull : UINT64_MAX;
}

bool WriteWholeFile(const char* path, const std::string& bytes) {
    FILE* f = OpenFile(path, "wb");
    if (!f) return false;
    const bool written = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && written;
}

}  // namespace platform
