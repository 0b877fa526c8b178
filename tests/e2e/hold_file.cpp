// Holds a file in use for the end-to-end tests, as a running lobby would: on Windows
// open without any sharing, on Linux under an exclusive lock. Prints "held" once it
// holds the file, then waits the given milliseconds.
//   hold_file PATH MILLISECONDS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

int main(int argc, char** argv) {
    if (argc != 3) return 2;
#ifdef _WIN32
    HANDLE h = CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 1;
#else
    const int fd = open(argv[1], O_RDONLY);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) return 1;
#endif
    printf("held\n");
    fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(atoi(argv[2])));
    return 0;
}
