// Fetches files one after another over one connection, as the updater's transfers do,
// for the download benchmark. Reads "name size" lines from LIST; the files land in
// OUT_DIR/Update/<name>.
//   fetch BASE_URL OUT_DIR LIST
#include <cstdio>
#include <string>

#include "common/failure.h"
#include "log/update_log.h"
#include "net/download.h"
#include "platform/files.h"

namespace {

// The folders of `path`, each made when missing.
void MakeFolders(const std::string& path) {
    for (size_t sep = path.find('/', 1); sep != std::string::npos; sep = path.find('/', sep + 1)) {
        platform::CreateFolder(path.substr(0, sep).c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s BASE_URL OUT_DIR LIST\n", argv[0]);
        return 2;
    }
    FILE* list = fopen(argv[3], "r");
    if (!list) return 2;
    UpdateLog log;
    ProgressCounters counters;
    Transfer transfer("fetch", log, counters, StopToken());
    const std::string base = argv[1], out = std::string(argv[2]) + "/Update/";
    char name[256];
    unsigned long size = 0;
    try {
        while (fscanf(list, "%255s %lu", name, &size) == 2) {
            MakeFolders(out + name);
            transfer.Fetch((base + name).c_str(), (out + name).c_str(), name,
                           static_cast<uint32_t>(size));
        }
    } catch (...) {
        fprintf(stderr, "download failed: %s\n", name);
        return 1;
    }
    return 0;
}
