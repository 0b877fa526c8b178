// Failures of the system, with its error code and text.
#pragma once

#include <stdexcept>
#include <string>

namespace platform {

// A failure of the system: what() names the step that failed and, when the system gave
// one, its error code and text, e.g. "InternetConnect failed (12029: ...)". The text is
// what the log's line "下载失败<file>:<reason>" shows as the reason.
class SystemError : public std::runtime_error {
public:
    explicit SystemError(const char* step);
    // `reason`: the system's text for `code` (see ErrorText); cut to a bounded length.
    SystemError(const char* step, long code, const std::string& reason);
    long Code() const { return m_code; }

private:
    long m_code;
};

struct FileError : SystemError {
    using SystemError::SystemError;
};

// The calling thread's last error (errno; GetLastError on Windows).
long LastErrorCode();
// The system's text for an error code from LastErrorCode (on Windows also WinInet's
// codes), as GBK for the log; empty when the system has none.
std::string ErrorText(long code);
// A SystemError for `step` from the calling thread's last error.
template <class Error>
Error LastError(const char* step) {
    const long code = LastErrorCode();
    return Error(step, code, ErrorText(code));
}

}  // namespace platform
