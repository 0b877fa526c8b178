// The update log "updatelog.txt": a header line with the creation time, then one
// numbered, time-stamped line per event, flushed at once. Also mirrored to the
// debugger output and standard output.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <initializer_list>
#include <mutex>
#include <string>

#include "common/printf.h"

// False while no log object exists; every WriteLine is then ignored.
extern std::atomic<bool> g_logEnabled;

class UpdateLog {
public:
    // Longest message text of one line, in bytes; longer messages are cut.
    static constexpr int kMaxMessage = 8142;

    UpdateLog();
    virtual ~UpdateLog();
    UpdateLog(const UpdateLog&) = delete;
    UpdateLog& operator=(const UpdateLog&) = delete;

    // Creates or truncates the file and writes the header line.
    bool Open(const char* path);

    // Safe to call from several threads at once: each line is written whole.
    UPDATER_PRINTF(2, 3) void WriteLine(const char* format, ...);
    // Lines written one after another, with no line of another thread between them.
    void WriteLines(std::initializer_list<std::string> lines);

    int LineCount() const { return m_lineCount; }

private:
    // Writes one line of the formatted message; the caller holds m_mutex.
    void WriteLocked(const char* format, va_list args);
    UPDATER_PRINTF(2, 3) void WriteLockedf(const char* format, ...);
    // Writes bytes as the Windows runtime's text mode stores them: LF becomes CR LF.
    void WriteTextMode(const char* text, size_t len);

    FILE* m_file;  // binary; opened so that no started program inherits it
    bool m_toFile;
    bool m_toStdout;
    bool m_toDebugger;
    bool m_withTime;
    bool m_withLineNo;
    bool m_opened;
    std::mutex m_mutex;  // one line at a time
    int m_lineCount;
    char m_line[8192];
};
