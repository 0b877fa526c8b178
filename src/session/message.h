// Message boxes raised by the update: printf-style text, OK button, shown on the
// calling thread.
#pragma once

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void ShowMessage(const char* format, ...);
