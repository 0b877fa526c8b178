// The updater's start: one copy at a time, then the progress window runs the update
// and, when it has finished, starts the lobby. The exit status tells how the run ended
// (see EXIT_UPDATED and the others).
#include <string>

#include "build_config.h"
#include "install/install.h"
#include "platform/platform.h"
#include "ui/update_dlg.h"

namespace {

// The old file of an updater that replaced itself in the last run.
void RemoveSetAsideExecutable() {
    char self[260];
    if (!platform::ModulePath(self, sizeof(self))) return;
    platform::RemoveFile((std::string(self) + kAsideSuffix).c_str());
}

}  // namespace

int main() {
    platform::PrepareProcess();
    // Another copy (or any program using the name) holds the guard: end silently.
    platform::InstanceGuard guard;
    if (!guard.Acquire("QVHalcyra")) return EXIT_ALREADY_RUNNING;
    platform::ApplyPendingReplacements();
    RemoveSetAsideExecutable();
    try {
        CUpdateDlg dlg;
        platform::RunWindow(dlg);
        return dlg.ExitCode();
    } catch (...) {
        // The window could not be set up (no memory, no internet session).
        platform::ShowMessage("更新失败，请到 %s下载最新版本", UPDATER_WEBSITE);
    }
    return EXIT_UPDATE_FAILED;
}
