// The updater's start: one copy at a time, then the run of the update with its progress
// window, which starts the lobby when the run has finished. The exit status tells how
// the run ended (see EXIT_UPDATED and the others).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "build_config.h"
#include "common/exit_status.h"
#include "digest/named.h"
#include "install/install.h"
#include "platform/files.h"
#include "platform/message.h"
#include "platform/process.h"
#include "platform/replace.h"
#include "platform/window.h"
#include "session/update_run.h"
#include "ui/progress_window.h"

namespace {

// The old file of an updater that replaced itself in the last run.
void RemoveSetAsideExecutable() {
    char self[260];
    if (!platform::ModulePath(self, sizeof(self))) return;
    platform::RemoveFile((std::string(self) + kAsideSuffix).c_str());
}

// Ends the process with `code` once the run has stopped. A run stuck in a network wait
// or a message box ends with the process, as the program always ends; installed files
// are only ever replaced whole.
int EndWith(UpdateRun& run, int code) {
    if (!run.Wait(3000)) std::_Exit(code);
    return code;
}

}  // namespace

int main() {
    platform::PrepareProcess();
    // Another copy holds the guard: end (on a terminal saying so, where the system tells
    // who holds it).
    platform::InstanceGuard guard;
    if (!guard.Acquire("QVHalcyra")) {
        if (!guard.HeldBy().empty()) {
            fprintf(stderr, "another copy of the updater is running (%s); this one ends\n",
                    guard.HeldBy().c_str());
        }
        return EXIT_ALREADY_RUNNING;
    }
    platform::ApplyPendingReplacements(StreamHasDigest);
    RemoveSetAsideExecutable();
    try {
        UpdateRun run;
        ProgressWindow window(run, run.FailMessage());
        run.Start();
        if (!platform::RunWindow(window)) {
            // No window could be shown: a failure the player is told of (where a box can
            // still be shown), never a run that ends as if Cancel had been clicked.
            run.Abandon("无法显示更新窗口，更新失败");
            EndWith(run, EXIT_UPDATE_FAILED);
            platform::ShowMessage("%s", run.FailMessage().c_str());
            return EXIT_UPDATE_FAILED;
        }
        // A window closed while the run goes on (Cancel): the run stops at its next safe
        // point.
        run.Stop();
        return EndWith(run, window.ExitCode());
    } catch (...) {
        // The run could not be set up (no memory, no internet session).
        platform::ShowMessage("更新失败，请到 %s下载最新版本", UPDATER_WEBSITE);
    }
    return EXIT_UPDATE_FAILED;
}
