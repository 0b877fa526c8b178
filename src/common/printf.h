// UPDATER_PRINTF(f, a): the function's argument `f` is a printf format whose values
// start at argument `a`; the compiler then checks every call.
#pragma once

#if defined(__GNUC__)
#define UPDATER_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define UPDATER_PRINTF(fmt, first)
#endif
