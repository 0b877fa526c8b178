// The terminal's message boxes as the terminal front end sees them.
#pragma once

#include <atomic>

namespace platform::posix {

// Message boxes waiting for an answer on the terminal.
extern std::atomic<int> g_boxesOpen;

}  // namespace platform::posix
