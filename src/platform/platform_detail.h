// What each implementation of the platform layer provides to the shared part.
#pragma once

#include <cstdint>
#include <ctime>

namespace platform::detail {

void SystemLocalTime(std::tm* out);
uint32_t SystemTickCount();
int SystemMessageBox(const char* text, const char* caption, unsigned style);

}  // namespace platform::detail
