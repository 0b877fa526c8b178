// The test program. Besides running the tests it serves as a helper process for the
// tests that need a second process (the single-instance guard).
#include <gmock/gmock.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/process.h"

int main(int argc, char** argv) {
    if (argc >= 3 && strcmp(argv[1], "--guard-probe") == 0) {
        // Exit code 0: the guard was obtained; 3: another process holds it (named, where
        // the system can tell; 4 where it could and did not).
        platform::InstanceGuard guard;
        if (guard.Acquire(argv[2])) return 0;
#ifdef _WIN32
        return 3;
#else
        return guard.HeldBy().find("process ") == 0 ? 3 : 4;
#endif
    }
    if (argc >= 3 && strcmp(argv[1], "--guard-die") == 0) {
        // Takes the guard and dies without giving it up.
        platform::InstanceGuard* guard = new platform::InstanceGuard;
        if (!guard->Acquire(argv[2])) return 3;
        std::_Exit(5);
    }
    if (argc >= 4 && strcmp(argv[1], "--guard-hold") == 0) {
        // Holds the guard for the given milliseconds (end-to-end tests).
        platform::InstanceGuard guard;
        if (!guard.Acquire(argv[2])) return 3;
        std::this_thread::sleep_for(std::chrono::milliseconds(atoi(argv[3])));
        return 0;
    }
    testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
