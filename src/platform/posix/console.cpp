#include "platform/posix/console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

namespace platform::posix {
namespace {

std::mutex g_mutex;
std::string g_status;  // the progress line, as last set
bool g_drawn = false;  // it is on the screen now
int g_questions = 0;   // questions waiting for an answer

bool IsTerminal() {
    static const bool tty = isatty(STDOUT_FILENO) != 0;
    return tty;
}

// Columns of a UTF-8 text on the terminal: the characters the log holds (ASCII and
// Chinese) take one and two columns.
size_t Columns(unsigned char lead) { return lead < 0x80 ? 1 : 2; }

std::string FitToWidth(const std::string& text) {
    winsize size{};
    size_t width = 80;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) width = size.ws_col;
    size_t used = 0, i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t len = 1;
        if (c >= 0xF0) {
            len = 4;
        } else if (c >= 0xE0) {
            len = 3;
        } else if (c >= 0xC0) {
            len = 2;
        }
        if (used + Columns(c) >= width) break;  // the last column stays free: no wrap
        used += Columns(c);
        i += len;
    }
    return text.substr(0, i);
}

void Clear() {
    if (!g_drawn) return;
    fputs("\r\033[K", stdout);
    g_drawn = false;
}

void Draw() {
    if (g_status.empty() || g_questions > 0) return;
    const std::string line = FitToWidth(g_status);
    fputs("\r\033[K", stdout);
    fwrite(line.data(), 1, line.size(), stdout);
    g_drawn = true;
}

}  // namespace

bool ConsoleIsTerminal() { return IsTerminal(); }

void ConsoleWriteLine(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (IsTerminal()) Clear();
    fwrite(text.data(), 1, text.size(), stdout);
    if (IsTerminal()) Draw();
    fflush(stdout);
}

void ConsoleSetStatus(const std::string& text) {
    if (!IsTerminal()) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_status = text;
    Draw();
    fflush(stdout);
}

void ConsoleEndStatus() {
    if (!IsTerminal()) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    Clear();
    g_status.clear();
    fflush(stdout);
}

ConsoleQuestion::ConsoleQuestion() {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_questions;
    if (IsTerminal()) Clear();
    fflush(stdout);
}

ConsoleQuestion::~ConsoleQuestion() {
    std::lock_guard<std::mutex> lock(g_mutex);
    --g_questions;
    if (IsTerminal()) Draw();
    fflush(stdout);
}

}  // namespace platform::posix
