#include "log/update_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/text.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"

std::atomic<bool> g_logEnabled{false};

namespace {

// Length of the longest prefix of text[0..len) that does not end inside a GBK
// double-byte character.
size_t GbkBoundary(const char* text, size_t len) {
    size_t i = 0;
    while (i < len) {
        const size_t width = GbkCharWidth(text + i);
        if (i + width > len) break;
        // A lead byte at the very end lost its second byte to the cut.
        if (width == 1 && i + 1 == len && IsGbkLead(static_cast<unsigned char>(text[i]))) break;
        i += width;
    }
    return i;
}

}  // namespace

UpdateLog::UpdateLog()
    : m_file(nullptr),
      m_toFile(true),
      m_toStdout(true),
      m_toDebugger(true),
      m_withTime(true),
      m_withLineNo(true),
      m_opened(false),
      m_lineCount(0) {
    m_line[0] = '\0';
    g_logEnabled = true;
}

UpdateLog::~UpdateLog() {
    g_logEnabled = false;
    if (m_file) fclose(m_file);
}

bool UpdateLog::Open(const char* path) {
    std::tm now;
    platform::LocalTime(&now);
    char date[16], time[16], header[64];
    strftime(date, sizeof(date), "%m/%d/%y", &now);
    strftime(time, sizeof(time), "%H:%M:%S", &now);
    snprintf(header, sizeof(header), "日志创建时间： [%s %s]\r\n", date, time);

    // Binary stream with the text-mode translation done here, so that the file holds
    // the same bytes whichever system wrote it.
    if (m_file) fclose(m_file);
    m_file = platform::OpenFile(path, "wb");
    if (!m_file) return false;
    m_opened = true;
    WriteTextMode(header, strlen(header));
    fflush(m_file);
    return true;
}

void UpdateLog::WriteLine(const char* format, ...) {
    if (!g_logEnabled || !m_opened) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    va_list args;
    va_start(args, format);
    WriteLocked(format, args);
    va_end(args);
}

void UpdateLog::WriteLines(std::initializer_list<std::string> lines) {
    if (!g_logEnabled || !m_opened) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const std::string& line : lines) {
        WriteLockedf("%s", line.c_str());
    }
}

void UpdateLog::WriteLockedf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteLocked(format, args);
    va_end(args);
}

void UpdateLog::WriteLocked(const char* format, va_list args) {
    ++m_lineCount;

    size_t len = 0;
    if (m_withLineNo) len += snprintf(m_line + len, sizeof(m_line) - len, "[%5d]", m_lineCount);
    if (m_withTime) {
        std::tm now;
        platform::LocalTime(&now);
        char time[16];
        strftime(time, sizeof(time), "%H:%M:%S", &now);
        len += snprintf(m_line + len, sizeof(m_line) - len, "[%s]", time);
    }

    // The prefixes take at most 22 bytes, so the message, CR LF and the NUL always fit.
    const int wanted = vsnprintf(m_line + len, kMaxMessage + 1, format, args);
    if (wanted > 0) {
        size_t msgLen = static_cast<size_t>(wanted);
        if (msgLen > static_cast<size_t>(kMaxMessage)) {
            // Cut at the limit, never inside a double-byte character.
            msgLen = GbkBoundary(m_line + len, kMaxMessage);
        }
        len += msgLen;
    }
    m_line[len++] = '\r';
    m_line[len++] = '\n';
    m_line[len] = '\0';

    if (m_toDebugger) platform::DebugOutput(m_line);
    if (m_toStdout) platform::ConsoleOutput(m_line);
    if (m_toFile) {
        WriteTextMode(m_line, len);
        fflush(m_file);
    }
}

void UpdateLog::WriteTextMode(const char* text, size_t len) {
    size_t start = 0;
    for (size_t i = 0; i < len; ++i) {
        if (text[i] != '\n') continue;
        fwrite(text + start, 1, i - start, m_file);
        fwrite("\r\n", 1, 2, m_file);
        start = i + 1;
    }
    fwrite(text + start, 1, len - start, m_file);
}
