// The clock.
#pragma once

#include <cstdint>
#include <ctime>

namespace platform {

// The local date and time.
void LocalTime(std::tm* out);
// Tests replace the clock to get reproducible files; null restores the real one.
void SetClockForTesting(void (*clock)(std::tm* out));

// Milliseconds from an arbitrary start, wrapping at 2^32 (GetTickCount).
uint32_t TickCount();
// Tests replace the tick count to make time pass as they say; null restores the real one.
void SetTickCountForTesting(uint32_t (*tick)());

}  // namespace platform
