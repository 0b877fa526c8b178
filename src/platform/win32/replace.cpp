// Replacing a file when the system next restarts: the system does it on Windows, so
// nothing is left for the updater's next start. Until this process ends the file stays
// open here, and nobody may write, rename or delete it.
#include <windows.h>

#include "platform/replace.h"

namespace platform {

bool ReplaceAtRestart(StagedFile& staged, const char* src, const char* dst,
                      const std::string& /*digest*/) {
    if (!MoveFileExA(src, dst, MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT)) {
        return false;
    }
    staged.HoldUntilExit();
    return true;
}

void ApplyPendingReplacements(const DigestCheck& /*holds*/) {}

}  // namespace platform
