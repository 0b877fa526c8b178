// Message boxes on the terminal (stderr alone without one); the progress line stays
// off the screen while one waits for its answer.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "platform/message.h"
#include "platform/platform_detail.h"
#include "platform/posix/gbk.h"
#include "platform/posix/console.h"

namespace platform {

using posix::GbkToUtf8;

namespace detail {

int SystemMessageBox(const char* text, const char* caption, unsigned style) {
    const posix::ConsoleQuestion asking;
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
