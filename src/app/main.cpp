// The updater's start: one copy at a time, then the progress window runs the update
// and, when it has finished, starts the lobby.
#include "build_config.h"
#include "platform/platform.h"
#include "session/message.h"
#include "ui/update_dlg.h"

int main() {
    // Another copy (or any program using the name) holds the guard: end silently.
    platform::InstanceGuard guard;
    if (!guard.Acquire("QVHalcyra")) return 0;
    platform::ApplyPendingReplacements();
    try {
        CUpdateDlg dlg;
        platform::RunWindow(dlg);
    } catch (...) {
        // The window could not be set up (no memory, no internet session).
        ShowMessage("更新失败，请到 %s下载最新版本", UPDATER_WEBSITE);
    }
    return 0;
}
