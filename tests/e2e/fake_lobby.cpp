// A stand-in for the lobby "Halcyra.exe" in the end-to-end tests: it records the
// arguments it was started with in lobby-ran.txt beside itself, and ends.
#include <cstdio>
#include <string>

#include "platform/platform.h"

int main(int argc, char** argv) {
    char self[1024];
    if (!platform::ModulePath(self, sizeof(self))) return 1;
    std::string path = self;
    path.resize(path.find_last_of("/\\") + 1);
    path += "lobby-ran.txt";
    FILE* f = platform::OpenFile(path.c_str(), "wb");
    if (!f) return 1;
    for (int i = 1; i < argc; ++i) fprintf(f, "%s%s", i > 1 ? " " : "", argv[i]);
    fprintf(f, "\n");
    fclose(f);
    return 0;
}
