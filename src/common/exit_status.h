// The updater's exit status: how the run ended, for whoever started it.
#pragma once

enum : int {
    EXIT_UPDATED = 0,          // the update finished and the lobby was started
    EXIT_UPDATE_FAILED = 1,    // the player was told why
    EXIT_CANCELLED = 2,        // the window was closed before either outcome
    EXIT_ALREADY_RUNNING = 3,  // another copy holds the single-instance guard
};
