// Replacing a file at the next start, for a file that is in use now.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "platform/files.h"

namespace platform {

// Has `src`, held as `staged`, moved over `dst` when the system next restarts (on
// POSIX: when the updater next starts, see ApplyPendingReplacements). `digest` names the
// bytes `src` holds now. On POSIX it is kept with the replacement, which is carried out
// only while the file still holds them; on Windows `staged` stays open until this
// process ends, and nobody may write, rename or delete it meanwhile.
bool ReplaceAtRestart(StagedFile& staged, const char* src, const char* dst,
                      const std::string& digest);
// POSIX: carries out the replacements recorded by ReplaceAtRestart whose file still
// holds its digest: `holds` reads the open file and tells, and the name must still be
// that file's when it is moved. Nothing on Windows, where the system does it.
using DigestCheck = std::function<bool(FILE* file, const std::string& digest)>;
void ApplyPendingReplacements(const DigestCheck& holds);

}  // namespace platform
