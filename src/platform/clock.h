// The clock.
#pragma once

#include <cstdint>
#include <ctime>

namespace platform {

// The local date and time.
void LocalTime(std::tm* out);
// Tests replace the clock to get reproducible files; null restores the real one.
void SetClockForTesting(void (*clock)(std::tm* out));

// Seconds since 1970, UTC (what a release's expiry is compared with).
int64_t UtcSeconds();
// Tests set the time to a value of theirs; null restores the real clock.
void SetUtcSecondsForTesting(int64_t (*now)());

// Milliseconds from an arbitrary start, wrapping at 2^32 (GetTickCount).
uint32_t TickCount();
// Tests replace the tick count to make time pass as they say; null restores the real one.
void SetTickCountForTesting(uint32_t (*tick)());

}  // namespace platform
