// Replacements left for the next start: ReplaceAtRestart adds to the list beside the
// executable ("<from>\t<to>\t<digest>" a line), ApplyPendingReplacements carries it out
// when the list can be trusted, and each file only while it holds its digest.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/replace.h"
#include "platform/text.h"
#include "platform/posix/fd.h"

namespace platform {

using posix::Fd;
using posix::OpenRegular;

namespace {

// The folder of the running executable, with its "/" (native), or empty.
std::string ModuleFolder() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return std::string();
    const std::string path(buf, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/') + 1);
}

// The list of replacements left for the next start, beside the executable.
std::string PendingListPath() {
    const std::string folder = ModuleFolder();
    return folder.empty() ? folder : folder + "pending-replacements.txt";
}

// Only a list this user wrote and nobody else can change is trusted: it says which files
// to move, and the updater may run with more rights than whoever wrote it.
bool IsOwnList(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_uid == geteuid() && !(st.st_mode & (S_IWGRP | S_IWOTH));
}

// The list open for adding a line: one of this user's own, or made anew in place of one
// that is not (another user's list is never written to, nor left to be read).
int OpenOwnList(const std::string& list) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        Fd fd(OpenRegular(list, O_WRONLY | O_CREAT | O_APPEND, 0600));
        if (fd.get() >= 0 && IsOwnList(fd.get())) return fd.release();
        if (fd.get() >= 0 && unlink(list.c_str()) != 0) return -1;
    }
    return -1;
}

}  // namespace

bool ReplaceAtRestart(StagedFile& /*staged*/, const char* src, const char* dst,
                      const std::string& digest) {
    const std::string list = PendingListPath();
    if (list.empty()) return false;
    const int fd = OpenOwnList(list);
    FILE* f = fd >= 0 ? fdopen(fd, "a") : nullptr;
    if (!f) {
        if (fd >= 0) close(fd);
        return false;
    }
    const bool ok = fprintf(f, "%s\t%s\t%s\n", NativePath(src).c_str(), NativePath(dst).c_str(),
                            digest.c_str()) > 0;
    return fclose(f) == 0 && ok;
}

namespace {

// A replacement from the list is carried out only between two paths inside the
// updater's folder, with no ".." and no link on the way.
bool IsInside(const std::string& folder, const std::string& path) {
    if (path.compare(0, folder.size(), folder) != 0 || path.find("/../") != std::string::npos) {
        return false;
    }
    for (size_t at = path.find('/', folder.size()); at != std::string::npos;
         at = path.find('/', at + 1)) {
        struct stat st;
        if (lstat(path.substr(0, at).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return false;
    }
    return true;
}

}  // namespace

namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Moves `from` over `to` when the file under `from` holds `digest`: digested from the
// descriptor, and still that file (device, inode, size, time) just before the rename.
void ReplaceChecked(const char* from, const char* to, const std::string& digest,
                    const DigestCheck& holds) {
    Fd fd(OpenRegular(from, O_RDONLY, 0));
    struct stat opened;
    if (fd.get() < 0 || fstat(fd.get(), &opened) != 0) return;
    const int reader = dup(fd.get());
    FILE* f = reader >= 0 ? fdopen(reader, "rb") : nullptr;
    if (!f) {
        if (reader >= 0) close(reader);
        return;
    }
    const bool held = holds(f, digest);
    fclose(f);
    struct stat now, named;
    if (!held || fstat(fd.get(), &now) != 0 || !SameFile(opened, now) || lstat(from, &named) != 0 ||
        !SameFile(opened, named)) {
        fprintf(stderr, "not replacing %s: it is not the file that was checked\n", to);
        return;
    }
    rename(from, to);
}

}  // namespace

void ApplyPendingReplacements(const DigestCheck& holds) {
    const std::string folder = ModuleFolder();
    const std::string list = PendingListPath();
    if (list.empty()) return;
    Fd fd(OpenRegular(list, O_RDONLY, 0));
    if (fd.get() < 0) return;
    if (!IsOwnList(fd.get())) {
        // Removed, so that the replacements of this run start a list of this user's own.
        fprintf(stderr, "ignoring %s: not owned by this user, or writable by others\n",
                list.c_str());
        unlink(list.c_str());
        return;
    }
    FILE* f = fdopen(fd.release(), "r");
    if (!f) return;
    char line[8192];
    while (fgets(line, sizeof(line), f)) {
        line[strcspn(line, "\n")] = '\0';
        char* tab = strchr(line, '\t');
        char* digest = tab ? strchr(tab + 1, '\t') : nullptr;
        // A line without its digest (a list from an older updater) is not carried out:
        // the file stays in the temporary tree, and the next run checks it again.
        if (!digest) continue;
        *tab = *digest = '\0';
        if (IsInside(folder, line) && IsInside(folder, tab + 1)) {
            ReplaceChecked(line, tab + 1, digest + 1, holds);
        }
    }
    fclose(f);
    unlink(list.c_str());
}

}  // namespace platform
