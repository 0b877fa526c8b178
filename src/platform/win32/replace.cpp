// Replacing a file when the system next restarts: the system does it on Windows, so
// nothing is left for the updater's next start.
#include <windows.h>

#include "platform/replace.h"

namespace platform {

bool ReplaceAtRestart(const char* src, const char* dst) {
    return MoveFileExA(src, dst, MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
}

void ApplyPendingReplacements() {}

}  // namespace platform
