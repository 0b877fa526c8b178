// How a run ends before it has finished: UpdateFailed carries the cause (the step, the
// file, the system's error code) and the log lines that state it; Cancelled is the
// user's stop. Both are thrown inside the run and caught once, where the run began,
// which writes a failure's lines to the log.
#pragma once

#include <string>
#include <utility>
#include <vector>

enum class FailedStep {
    Session,    // the install folder, its paths, the server's address
    Manifest,   // the server's manifest: missing, malformed, empty, unsafe names
    Signature,  // a signed release's signature, serial or digests
    Download,   // a file from the server
    Install,    // putting the files in place
    Record,     // the installed manifest after the install
};

// Whether a failure may be tried again within the run, and how.
enum class Retry {
    Never,      // not transient: 404, a body larger than listed, a local file error...
    Transient,  // a reset or closed connection, a time-out, 408, 500, 502, 504
    Refused,    // no connection could be made
    Busy,       // 503 or 429: the server asks to come back later, or to use fewer connections
    Mismatch,   // the bytes arrived whole but are not the listed file (a stale cache)
};

class UpdateFailed {
public:
    // `line`: the log line that states the cause, e.g. "下载失败a.txt:服务器回答404".
    UpdateFailed(FailedStep step, std::string line, std::string file = {}, long systemCode = 0)
        : m_step(step), m_file(std::move(file)), m_systemCode(systemCode) {
        m_lines.push_back(std::move(line));
    }
    // A line logged after the cause: what the failure means for the step that saw it.
    UpdateFailed& Then(std::string line) {
        m_lines.push_back(std::move(line));
        return *this;
    }
    // A line logged before the cause (the file's first line, when nothing of it arrived).
    UpdateFailed& First(std::string line) {
        m_lines.insert(m_lines.begin(), std::move(line));
        return *this;
    }
    // How the failure may be tried again; `retryAfterMs`: how long the server asked to
    // wait (Retry-After), 0 when it did not say.
    UpdateFailed& MayRetry(Retry kind, unsigned retryAfterMs = 0) {
        m_retry = kind;
        m_retryAfterMs = retryAfterMs;
        return *this;
    }

    // A file that did not arrive: the line "下载失败<file>:<reason>", the reason kept apart.
    static UpdateFailed Download(const std::string& file, std::string reason, long code = 0) {
        UpdateFailed failed(FailedStep::Download, "下载失败" + file + ":" + reason, file, code);
        failed.m_reason = std::move(reason);
        return failed;
    }

    FailedStep Step() const { return m_step; }
    // Why the file did not arrive (Download's reason); otherwise the last line.
    const std::string& Reason() const {
        static const std::string none;
        return !m_reason.empty() ? m_reason : m_lines.empty() ? none : m_lines.back();
    }
    const std::string& File() const { return m_file; }
    long SystemCode() const { return m_systemCode; }
    const std::vector<std::string>& Lines() const { return m_lines; }
    Retry RetryKind() const { return m_retry; }
    unsigned RetryAfterMs() const { return m_retryAfterMs; }

private:
    FailedStep m_step;
    Retry m_retry = Retry::Never;
    unsigned m_retryAfterMs = 0;
    std::string m_file;
    std::string m_reason;
    long m_systemCode;
    std::vector<std::string> m_lines;
};

// The user stopped the run (the Cancel button, Ctrl+C): nothing to log.
struct Cancelled {};
