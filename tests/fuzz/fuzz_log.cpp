// The update log's cut of an overlong message. A message longer than
// UpdateLog::kMaxMessage is written cut: the line holds the message's first bytes, at
// most kMaxMessage of them and at least kMaxMessage - 1 (one double-byte character may
// not fit), ending where a character ends by the project's GBK scan. A message that fits
// is written whole. The file is read back and the text-mode line ends undone.
//
// Input: byte 0 sets the message's length near the limit and how it is padded, the
// rest (up to a NUL) is the text repeated or put after the padding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "log/update_log.h"
#include "platform/clock.h"

namespace {

using fuzz::Escaped;

std::string g_path;

void FixedClock(std::tm* out) {
    *out = std::tm();
    out->tm_year = 126;
    out->tm_mon = 2;
    out->tm_mday = 5;
    out->tm_hour = 14;
    out->tm_min = 5;
    out->tm_sec = 9;
}

std::string ReadAll(const std::string& path) {
    std::string text;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) abort();
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
    fclose(f);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_path = fuzz::ScratchFile("fuzz_log");
    platform::SetClockForTesting(FixedClock);
    // The log copies every line to standard output; libFuzzer reports on stderr.
    if (!freopen("/dev/null", "w", stdout)) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string text = fuzz::CString(data + 1, size - 1);
    const size_t limit = UpdateLog::kMaxMessage;
    const size_t length = limit - 64 + (data[0] & 0x7F);
    std::string message;
    if (data[0] & 0x80) {
        // ASCII up to the text, which then holds the limit.
        message.assign(length > text.size() ? length - text.size() : 0, 'a');
        message += text;
    } else {
        while (!text.empty() && message.size() < length) message += text;
    }

    {
        std::unique_ptr<UpdateLog> log(new UpdateLog);  // on the heap: ASan sees its end
        FUZZ_CHECK(log->Open(g_path.c_str()), "cannot open %s", g_path.c_str());
        log->WriteLine("%s", message.c_str());
        FUZZ_CHECK(log->LineCount() == 1, "line count %d", log->LineCount());
    }

    // Undo the text mode: every LF was written as CR LF.
    const std::string file = ReadAll(g_path);
    std::string lines;
    for (size_t i = 0; i < file.size(); ++i) {
        if (file[i] == '\r' && i + 1 < file.size() && file[i + 1] == '\n') {
            lines += '\n';
            ++i;
            continue;
        }
        FUZZ_CHECK(file[i] != '\n', "LF without CR at %zu", i);
        lines += file[i];
    }
    const size_t headerEnd = lines.find("\r\n");
    FUZZ_CHECK(headerEnd != std::string::npos, "no header line");
    const std::string line = lines.substr(headerEnd + 2);
    const std::string prefix = "[    1][14:05:09]";
    FUZZ_CHECK(line.compare(0, prefix.size(), prefix) == 0, "line starts \"%s\"",
               Escaped(line.substr(0, 32)).c_str());
    FUZZ_CHECK(line.size() >= prefix.size() + 2 && line.compare(line.size() - 2, 2, "\r\n") == 0,
               "line does not end in CR LF");
    const std::string written = line.substr(prefix.size(), line.size() - prefix.size() - 2);

    FUZZ_CHECK(message.compare(0, written.size(), written) == 0 && written.size() <= message.size(),
               "written text (%zu bytes) is not the message's beginning", written.size());
    if (message.size() <= limit) {
        FUZZ_CHECK(written.size() == message.size(), "message of %zu bytes written as %zu",
                   message.size(), written.size());
        return 0;
    }
    FUZZ_CHECK(written.size() <= limit && written.size() + 1 >= limit,
               "message of %zu bytes cut to %zu", message.size(), written.size());
    size_t end = 0;
    while (end < written.size()) end += GbkCharWidth(message.c_str() + end);
    FUZZ_CHECK(end == written.size(), "cut at %zu inside the character at %zu: \"...%s\"",
               written.size(), end - 2, Escaped(message.substr(end - 2, 4)).c_str());
    return 0;
}
