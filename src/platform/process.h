// The running process: its executable, the single-instance guard, starting the lobby.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// Full path of the running executable; false when it does not fit `size` bytes or
// cannot be written in GBK for the engine (a character outside code page 936; on POSIX
// also a "\\" in a folder's name).
bool ModulePath(char* out, size_t size);
// The folder of the running executable, without its last separator; empty when the
// executable's path is unknown or holds no separator. `out` has room for 260 bytes.
void GetModuleDir(char* out);
// Tests name another folder for GetModuleDir (a fresh install folder); null restores
// the executable's own.
void SetModuleDirForTesting(const char* folder);
// True when `path` names the running executable's own file.
bool IsOwnExecutable(const char* path);

// The single-instance guard: held until the process ends, released by the system when
// the process dies.
class InstanceGuard {
public:
    InstanceGuard();
    ~InstanceGuard();
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;
    // True when this process now holds `name` (also when a dead holder left it). Only a
    // copy run by the same user or an administrator can keep another from it: on
    // Windows a mutex of the session, elsewhere an address any user could take, whose
    // holder is asked who it is (another user's is passed over).
    bool Acquire(const char* name);
    // Who holds the guard when Acquire failed, where the system can tell ("process N of
    // user U"); empty on Windows, whose second copy ends without a word.
    const std::string& HeldBy() const { return m_heldBy; }
    // Gives the guard up (tests only: the program keeps it until it ends).
    void Release();

private:
    intptr_t m_handle;
    bool m_held;
    std::string m_heldBy;
};

// Sets the process up before anything else runs: on POSIX a reader of standard output
// that went away (a closed pipe) must not end the process.
void PrepareProcess();

class HeldFolder;

// A program held from the moment it is checked until it has started, and started from
// what was held: on Windows open without write or delete sharing (nobody may change,
// rename or remove it meanwhile); elsewhere started from the open file itself, whatever
// has taken its name since.
class HeldProgram {
public:
    HeldProgram();
    ~HeldProgram();
    HeldProgram(const HeldProgram&) = delete;
    HeldProgram& operator=(const HeldProgram&) = delete;

    // The regular file `name` in `folder`, which the system names `path`; false when
    // there is none.
    bool Open(const HeldFolder& folder, const char* name, const char* path);
    // The next bytes for a digest: how many were read, 0 at the end, -1 on an error.
    long Read(void* buffer, size_t size);
    // Starts the held program with the parameter text `param`; does not wait for it. The
    // program inherits none of the updater's files, sockets or handles.
    bool Launch(const char* param);
    void Close();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace platform
