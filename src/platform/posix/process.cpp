// The process: its executable, the single-instance guard, starting the lobby, the
// system's error codes and texts, the clocks.
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/platform_detail.h"
#include "platform/posix/gbk.h"

extern char** environ;

namespace platform {

using posix::GbkToUtf8;

bool ModulePath(char* out, size_t size) {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return false;
    buf[n] = '\0';
    // The engine reads "\\" as a separator and keeps paths in GBK: a folder whose name
    // holds a backslash or a character outside GBK cannot be named by it.
    std::string gbk;
    if (strchr(buf, '\\') || !posix::Utf8ToGbkExactly(buf, &gbk)) return false;
    if (gbk.size() >= size) return false;
    memcpy(out, gbk.c_str(), gbk.size() + 1);
    return true;
}

bool IsOwnExecutable(const char* path) {
    struct stat self, other;
    return stat("/proc/self/exe", &self) == 0 && stat(NativePath(path).c_str(), &other) == 0 &&
           self.st_dev == other.st_dev && self.st_ino == other.st_ino;
}

InstanceGuard::InstanceGuard() : m_handle(-1), m_held(false) {}
InstanceGuard::~InstanceGuard() { Release(); }

bool InstanceGuard::Acquire(const char* name) {
    // An abstract socket address: the kernel frees it when the holder dies, and it
    // leaves nothing on disk.
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    const size_t len = std::min(strlen(name), sizeof(addr.sun_path) - 1);
    memcpy(addr.sun_path + 1, name, len);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr),
             static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + len)) != 0) {
        close(fd);
        return false;
    }
    m_handle = fd;
    m_held = true;
    return true;
}

void InstanceGuard::Release() {
    if (m_handle >= 0) close(static_cast<int>(m_handle));
    m_handle = -1;
    m_held = false;
}

bool LaunchProgram(const char* path, const char* param) {
    const std::string native = NativePath(path);
    const std::string arg = GbkToUtf8(param);
    char* argv[] = {const_cast<char*>(native.c_str()), const_cast<char*>(arg.c_str()), nullptr};
    // In a session of its own, as a program started from the shell on Windows: it lives
    // on when the updater and its terminal go away.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    // Only the standard streams go with it: no socket, log or lock of ours, whoever
    // opened it (libcurl's connections among them).
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t pid;
    const bool ok = posix_spawn(&pid, native.c_str(), &actions, &attr, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return ok;
}

void PrepareProcess() {
    // Writes to a closed pipe fail with EPIPE instead of ending the process.
    signal(SIGPIPE, SIG_IGN);
}

long LastErrorCode() { return errno; }

std::string ErrorText(long code) { return code ? strerror(static_cast<int>(code)) : ""; }

namespace detail {

uint32_t SystemTickCount() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}

void SystemLocalTime(std::tm* out) {
    time_t now = time(nullptr);
    localtime_r(&now, out);
}

}  // namespace detail
}  // namespace platform
