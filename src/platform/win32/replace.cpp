// Replacing a file when the system next restarts: the system does it on Windows, so
// nothing is left for the updater's next start. Until this process ends the file stays
// open here, and nobody may write, rename or delete it.
#include <windows.h>

#include <mutex>
#include <vector>

#include "platform/replace.h"

namespace platform {

bool ReplaceAtRestart(const char* src, const char* dst, const std::string& /*digest*/) {
    const HANDLE held = CreateFileA(src, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (held == INVALID_HANDLE_VALUE) return false;
    if (!MoveFileExA(src, dst, MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT)) {
        CloseHandle(held);
        return false;
    }
    // Closed by the system when the process ends.
    static std::mutex mutex;
    static std::vector<HANDLE>* handles = new std::vector<HANDLE>;
    const std::lock_guard<std::mutex> lock(mutex);
    handles->push_back(held);
    return true;
}

void ApplyPendingReplacements(const DigestCheck& /*holds*/) {}

}  // namespace platform
