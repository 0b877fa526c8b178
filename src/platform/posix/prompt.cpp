// Message boxes on the terminal (stderr alone without one), and the count of those
// waiting for an answer, which the terminal front end watches.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "platform/platform_detail.h"
#include "platform/posix/gbk.h"
#include "platform/posix/prompt.h"

namespace platform {

namespace posix {
std::atomic<int> g_boxesOpen{0};
}  // namespace posix

using posix::GbkToUtf8;

namespace detail {

int SystemMessageBox(const char* text, const char* caption, unsigned style) {
    // The terminal front end leaves the screen alone while a box waits for its answer.
    struct Asking {
        Asking() { ++posix::g_boxesOpen; }
        ~Asking() { --posix::g_boxesOpen; }
    } asking;
    const std::string shown = GbkToUtf8(text);
    const std::string title = caption ? GbkToUtf8(caption) : std::string("updater");
    fprintf(stderr, "[%s] %s\n", title.c_str(), shown.c_str());
    const bool yesNo = (style & 0xF) == kMbYesNo;
    if (!isatty(STDIN_FILENO)) return yesNo ? kIdNo : kIdOk;
    if (!yesNo) {
        fprintf(stderr, "(press Enter) ");
        int c;
        while ((c = getchar()) != EOF && c != '\n') {
        }
        return kIdOk;
    }
    for (;;) {
        fprintf(stderr, "[y/n] ");
        char answer[16];
        if (!fgets(answer, sizeof(answer), stdin)) return kIdNo;
        if (answer[0] == 'y' || answer[0] == 'Y') return kIdYes;
        if (answer[0] == 'n' || answer[0] == 'N') return kIdNo;
    }
}

}  // namespace detail
}  // namespace platform
