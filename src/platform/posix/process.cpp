// The process: its executable, the single-instance guard, starting the lobby, the
// system's error codes and texts, the clocks.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/platform_detail.h"
#include "platform/posix/fd.h"
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

namespace {

// The abstract socket address `name` (nothing on disk; the kernel frees it when its
// holder dies) and its length.
socklen_t AbstractAddress(const std::string& name, sockaddr_un* addr) {
    memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    const size_t len = std::min(name.size(), sizeof(addr->sun_path) - 1);
    memcpy(addr->sun_path + 1, name.data(), len);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + len);
}

// A socket listening on `name`, or -1 with errno set (EADDRINUSE: someone holds it).
int ListenOn(const std::string& name) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un addr;
    const socklen_t len = AbstractAddress(name, &addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 128) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// Who listens on `name`: the credentials it listened with, when a connection tells.
bool ListenerOf(const std::string& name, ucred* cred) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    sockaddr_un addr;
    const socklen_t len = AbstractAddress(name, &addr);
    socklen_t size = sizeof(*cred);
    const bool told = connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
                      getsockopt(fd, SOL_SOCKET, SO_PEERCRED, cred, &size) == 0 &&
                      size == sizeof(*cred);
    close(fd);
    return told;
}

}  // namespace

bool InstanceGuard::Acquire(const char* name) {
    // Any user may take an abstract address. The guard is held by a copy of this user or
    // of root; an address held by anyone else (or by a holder that does not say who it
    // is) is passed over for the next of a chain that only this user's copies walk.
    const uid_t self = geteuid();
    std::string address = name;
    m_heldBy.clear();
    for (int step = 0; step < 16; ++step) {
        const int fd = ListenOn(address);
        if (fd >= 0) {
            m_handle = fd;
            m_held = true;
            return true;
        }
        if (errno != EADDRINUSE) return false;
        ucred cred;
        if (ListenerOf(address, &cred) && (cred.uid == self || cred.uid == 0)) {
            m_heldBy =
                "process " + std::to_string(cred.pid) + " of user " + std::to_string(cred.uid);
            return false;
        }
        address = std::string(name) + "." + std::to_string(self) + "." + std::to_string(step);
    }
    // Every address of the chain taken by others: no one may stop this user's updates
    // that way, so the run goes on unguarded.
    fprintf(stderr, "%s: the single-instance guard is held by other users; going on without it\n",
            name);
    return true;
}

void InstanceGuard::Release() {
    if (m_handle >= 0) close(static_cast<int>(m_handle));
    m_handle = -1;
    m_held = false;
}

struct HeldProgram::Impl {
    posix::Fd fd;
    std::string path;  // native, as argv[0]
};

HeldProgram::HeldProgram() : m_impl(new Impl) {}
HeldProgram::~HeldProgram() = default;

bool HeldProgram::Open(const HeldFolder& folder, const char* name, const char* path) {
    m_impl->fd =
        posix::Fd(folder.IsOpen()
                      ? posix::OpenRegular(NativePath((folder.Path() + name).c_str()), O_RDONLY, 0)
                      : -1);
    m_impl->path = NativePath(path);
    return m_impl->fd.get() >= 0;
}

long HeldProgram::Read(void* buffer, size_t size) {
    return static_cast<long>(read(m_impl->fd.get(), buffer, size));
}

void HeldProgram::Close() { m_impl->fd = posix::Fd(); }

bool HeldProgram::Launch(const char* param) {
    if (m_impl->fd.get() < 0) return false;
    const std::string arg = GbkToUtf8(param);
    char* argv[] = {const_cast<char*>(m_impl->path.c_str()), const_cast<char*>(arg.c_str()),
                    nullptr};
    // The child tells through this pipe why its exec failed; it closes unwritten when
    // the exec succeeds.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return false;
    const int program = m_impl->fd.get();
    const pid_t pid = fork();
    if (pid == 0) {
        // Only what may run between fork and exec in a threaded process. In a session
        // of its own, as a program started from the shell on Windows: it lives on when
        // the updater and its terminal go away. Only the standard streams go with it,
        // and the program's own file, for an interpreter to read a script by.
        setsid();
        if (dup2(program, 3) < 0 || dup2(report[1], 4) < 0) _exit(127);
        fcntl(4, F_SETFD, FD_CLOEXEC);
        close_range(5, ~0U, 0);
        fcntl(3, F_SETFD, FD_CLOEXEC);
        fexecve(3, argv, environ);
        fcntl(3, F_SETFD, 0);  // a script: its interpreter opens it as /dev/fd/3
        fexecve(3, argv, environ);
        const int error = errno;
        (void)!write(4, &error, sizeof(error));
        _exit(127);
    }
    close(report[1]);
    int error = 0;
    const bool started = pid > 0 && read(report[0], &error, sizeof(error)) == 0;
    close(report[0]);
    return started;
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
