#include "net/url.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>

#include "common/text.h"
#include "platform/clock.h"
#include "platform/text.h"

namespace {

bool Unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

}  // namespace

bool UrlPath(const char* name, bool utf8, std::string* path) {
    // The one spelling of the name, then each of its components as the server has it.
    const std::string key = PathKey(name, false);
    std::string text = key;
    if (utf8 && !platform::GbkToUtf8(key.c_str(), &text)) return false;
    static const char kHex[] = "0123456789ABCDEF";
    path->clear();
    for (const unsigned char c : text) {
        if (Unreserved(c) || c == '/') {
            *path += static_cast<char>(c);
        } else {
            *path += '%';
            *path += kHex[c >> 4];
            *path += kHex[c & 15];
        }
    }
    return true;
}

std::string FreshQuery() {
    // The clock alone repeats when two updaters start in the same second behind one cache.
    static std::mt19937_64 random(std::random_device{}() ^ platform::TickCount());
    static std::mutex guard;
    uint64_t value;
    {
        std::lock_guard<std::mutex> lock(guard);
        value = random();
    }
    char query[64];
    snprintf(query, sizeof(query), "?t=%lld-%016llx",
             static_cast<long long>(platform::UtcSeconds()),
             static_cast<unsigned long long>(value));
    return query;
}
