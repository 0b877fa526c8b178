// A stand-in for the lobby "Halcyra.exe" in the end-to-end tests: it records the
// arguments it was started with in lobby-ran.txt beside itself, and ends.
#include <cstdio>
#include <string>

#include "platform/files.h"
#include "platform/process.h"

#ifndef _WIN32
#include <dirent.h>

// The descriptors it was started with, beside the record: only the standard streams
// should be there.
void RecordDescriptors(const std::string& path) {
    FILE* out = fopen(path.c_str(), "w");
    DIR* dir = opendir("/proc/self/fd");
    if (!out || !dir) return;
    const int own = dirfd(dir);
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.' || std::to_string(own) == e->d_name ||
            std::to_string(fileno(out)) == e->d_name) {
            continue;
        }
        fprintf(out, "%s\n", e->d_name);
    }
    closedir(dir);
    fclose(out);
}
#endif

int main(int argc, char** argv) {
    char self[1024];
    if (!platform::ModulePath(self, sizeof(self))) return 1;
    std::string path = self;
    path.resize(path.find_last_of("/\\") + 1);
#ifndef _WIN32
    RecordDescriptors(path + "lobby-fds.txt");
#endif
    path += "lobby-ran.txt";
    FILE* f = platform::OpenFile(path.c_str(), "wb");
    if (!f) return 1;
    for (int i = 1; i < argc; ++i) fprintf(f, "%s%s", i > 1 ? " " : "", argv[i]);
    fprintf(f, "\n");
    fclose(f);
    return 0;
}
