#include "session/message.h"

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

void ShowMessage(const char* format, ...) {
    char text[2048] = {0};
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);  // longer texts are cut
    va_end(args);
    platform::ShowMessageBox(text, nullptr, platform::kMbOk);
}
