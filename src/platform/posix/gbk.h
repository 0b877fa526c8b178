// GBK (code page 936) and UTF-8, for the POSIX side's file names and terminal.
#pragma once

#include <string>

namespace platform::posix {

// For display: bytes that do not convert are kept as they are.
std::string GbkToUtf8(const char* text);
std::string Utf8ToGbk(const char* text);
// For names: false unless the whole text converts.
bool GbkToUtf8Exactly(const char* text, std::string* out);
bool Utf8ToGbkExactly(const char* text, std::string* out);

}  // namespace platform::posix
