// URLs any server answers: a file's name as a path of single "/" separators, every byte
// outside RFC 3986's unreserved characters percent-encoded, and the queries that keep
// caches from answering with what they kept.
#pragma once

#include <string>

// The URL path of the listed file `name` (GBK, "/" or "\\" separated): its components
// joined by single "/" ("." components and doubled separators dropped), each byte
// outside A-Z a-z 0-9 - . _ ~ percent-encoded. With `utf8` the GBK characters are
// written as UTF-8 first (object stores' keys are UTF-8). False when `utf8` and the name
// is not whole GBK characters.
bool UrlPath(const char* name, bool utf8, std::string* path);

// A query no cache has seen: "?t=<seconds>-<random>".
std::string FreshQuery();
