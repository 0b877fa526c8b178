// Fetches files with the updater's DownloadFile, one after another over one session,
// for the download benchmark. Reads "name size" lines from standard input; the files
// land in OUT_DIR/Update/<name>.
//   fetch BASE_URL OUT_DIR < list
#include <cstdio>
#include <cstring>

#include "ui/update_dlg.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s BASE_URL OUT_DIR LIST\n", argv[0]);
        return 2;
    }
    FILE* list = fopen(argv[3], "r");
    if (!list) return 2;
    CUpdateDlg dlg;
    snprintf(dlg.m_gameDir, sizeof(dlg.m_gameDir), "%s", argv[2]);
    snprintf(dlg.m_downloadBase, sizeof(dlg.m_downloadBase), "%s", argv[1]);
    char name[256];
    unsigned long size = 0;
    try {
        while (fscanf(list, "%255s %lu", name, &size) == 2) {
            dlg.DownloadFile(name, "Update/", static_cast<uint32_t>(size));
        }
    } catch (...) {
        fprintf(stderr, "download failed: %s\n", name);
        return 1;
    }
    return 0;
}
