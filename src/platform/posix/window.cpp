// The terminal front end: the progress window's logic driven from a console. On a
// terminal the window's status line (both bars, the speed, the file) stays below the log's
// lines and is redrawn in place every 100 ms; without one only the log is written.
// Ctrl+C is the Cancel button.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "platform/clock.h"
#include "platform/message.h"
#include "platform/window.h"
#include "platform/posix/console.h"
#include "platform/posix/gbk.h"

namespace platform {
namespace {

std::atomic<bool> g_interrupted{false};

void OnInterrupt(int) { g_interrupted = true; }

// The built-in skin's sizes, which the window's logic lays itself out by.
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
        posix::ConsoleEndStatus();
        return ShowMessageBox(text, caption, style);
    }

    std::map<unsigned, unsigned> timers;
    bool invalid = false;
    bool closed = false;
};

}  // namespace

bool RunWindow(WindowEvents& events) {
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
            posix::ConsoleSetStatus(posix::GbkToUtf8(events.StatusLine().c_str()));
        }
    }
    posix::ConsoleEndStatus();
    events.OnDestroy();
    sigaction(SIGINT, &previous, nullptr);
    return true;
}

}  // namespace platform
