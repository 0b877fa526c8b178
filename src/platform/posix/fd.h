// File descriptors for files.cpp and replace.cpp: an owning handle, and the opening of
// regular files only.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <string>

namespace platform::posix {

// A descriptor, closed when the holder goes out of scope unless released.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0) close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : m_fd(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            if (m_fd >= 0) close(m_fd);
            m_fd = other.release();
        }
        return *this;
    }
    int get() const { return m_fd; }
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

// Opens a regular file without following a link in its last component and without
// waiting on a pipe or device. For writing (`flags` with O_CREAT), a link or special
// file found in its place is removed and a regular file made instead. -1 otherwise.
int OpenRegular(const std::string& native, int flags, mode_t mode);

}  // namespace platform::posix
