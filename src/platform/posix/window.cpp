// The terminal front end: the progress window's logic driven from a console. The bars
// and the speed line are redrawn in place every 100 ms on a terminal, written as plain
// lines once a second otherwise; Ctrl+C is the Cancel button.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "platform/platform.h"
#include "platform/posix/gbk.h"
#include "platform/posix/prompt.h"

namespace platform {
namespace {

std::atomic<bool> g_interrupted{false};

void OnInterrupt(int) { g_interrupted = true; }

// The built-in skin's sizes; the terminal only needs them for the painting's geometry.
Size BuiltInSize(SkinImage image) {
    switch (image) {
        case SkinImage::Background:
            return {368, 91};
        case SkinImage::Button:
            return {212, 20};
        case SkinImage::Bar:
            return {12, 10};
    }
    return {0, 0};
}

// Turns what the window paints into one line of text.
class TextCanvas : public Canvas {
public:
    void BitBlt(SkinImage, int, int, int, int, int, int) override {}
    void StretchBlt(SkinImage image, int, int y, int cx, int, int, int, int, int) override {
        if (image != SkinImage::Bar) return;
        (y < 45 ? fileBar : totalBar) = cx;
    }
    void Text(int, int, const char* text) override { speed = text; }

    std::string Line() const {
        return "file " + Bar(fileBar) + "  total " + Bar(totalBar) + "  " + speed;
    }

    int fileBar = -1;
    int totalBar = -1;
    std::string speed;

private:
    static std::string Bar(int width) {
        if (width < 0) return "[--------------------]   -";
        const int cells = (width > 345 ? 345 : width) * 20 / 345;
        char pct[16];
        snprintf(pct, sizeof(pct), "%4d%%", width * 100 / 345);
        return "[" + std::string(cells, '#') + std::string(20 - cells, '.') + "]" + pct;
    }
};

class TerminalHost : public WindowHost {
public:
    Size ImageSize(SkinImage image) override { return BuiltInSize(image); }
    void SetTitle(const char*) override {}
    void Resize(int, int) override {}
    void SetTimer(unsigned id, unsigned periodMs) override { timers[id] = periodMs; }
    void KillTimer(unsigned id) override { timers.erase(id); }
    void Invalidate() override { invalid = true; }
    void Close() override { closed = true; }
    void StartDrag() override {}
    int Alert(const char* text, const char* caption, unsigned style) override {
        EndLine();
        return ShowMessageBox(text, caption, style);
    }

    void Show(const std::string& line) {
        if (posix::g_boxesOpen > 0) {
            drawn = false;  // a box is asking: draw again on a fresh line afterwards
            return;
        }
        if (tty) {
            const std::string shown = Utf8(line);
            fprintf(stderr, "\r\033[K%s", shown.c_str());
            fflush(stderr);
            drawn = true;
        } else if (line != lastPlain && ++plainTicks >= 10) {
            fprintf(stderr, "%s\n", Utf8(line).c_str());
            lastPlain = line;
            plainTicks = 0;
        }
    }
    void EndLine() {
        if (drawn) fputc('\n', stderr);
        drawn = false;
    }

    std::map<unsigned, unsigned> timers;
    bool invalid = false;
    bool closed = false;
    bool tty = isatty(STDERR_FILENO) != 0;
    bool drawn = false;
    std::string lastPlain;
    int plainTicks = 10;

private:
    static std::string Utf8(const std::string& gbk) { return posix::GbkToUtf8(gbk.c_str()); }
};

}  // namespace

void RunWindow(WindowEvents& events) {
    TerminalHost host;
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = &OnInterrupt;
    struct sigaction previous;
    sigaction(SIGINT, &action, &previous);
    g_interrupted = false;

    events.OnInitDialog(host);
    uint32_t next = TickCount();
    while (!host.closed) {
        const uint32_t now = TickCount();
        const int32_t wait = static_cast<int32_t>(next - now);
        if (wait > 0) poll(nullptr, 0, wait);
        if (g_interrupted) {
            host.Close();  // Ctrl+C: the Cancel button
            break;
        }
        next += 100;
        for (auto it = host.timers.begin(); it != host.timers.end() && !host.closed;) {
            const unsigned id = (it++)->first;
            events.OnTimer(id);
        }
        if (host.invalid && !host.closed) {
            host.invalid = false;
            TextCanvas canvas;
            events.OnPaint(canvas);
            host.Show(canvas.Line());
        }
    }
    host.EndLine();
    events.OnDestroy();
    sigaction(SIGINT, &previous, nullptr);
}

}  // namespace platform
