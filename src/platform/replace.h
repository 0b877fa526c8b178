// Replacing a file at the next start, for a file that is in use now.
#pragma once

namespace platform {

// Has `src` moved over `dst` when the system next restarts (on POSIX: when the updater
// next starts, see ApplyPendingReplacements).
bool ReplaceAtRestart(const char* src, const char* dst);
// POSIX: carries out the replacements recorded by ReplaceAtRestart. Nothing on Windows,
// where the system does it.
void ApplyPendingReplacements();

}  // namespace platform
