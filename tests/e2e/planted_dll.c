/* A DLL that someone who may write the game folder plants there under the name of a DLL
 * the updater uses: loaded, it leaves "planted-loaded.txt" beside itself. The end-to-end
 * tests check that the updater never loads it. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        char path[MAX_PATH + 32];
        DWORD n = GetModuleFileNameA(self, path, MAX_PATH);
        while (n > 0 && path[n - 1] != '\\' && path[n - 1] != '/') --n;
        lstrcpyA(path + n, "planted-loaded.txt");
        HANDLE marker = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    }
    return TRUE;
}
