// HTTP: one internet session and the responses read through it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/stop.h"
#include "platform/errors.h"

namespace platform {

// What kind of failure of the connection an HttpError is.
enum class HttpFault {
    Other,    // anything else (a malformed URL, no memory, ...)
    Refused,  // no connection could be made: refused, unreachable, not answered
    Broken,   // the connection broke: reset, closed early, timed out
};

struct HttpError : SystemError {
    using SystemError::SystemError;
    // Set when the server's certificate did not verify (https): not the server the
    // build names, or one the system's certificate authorities do not vouch for.
    bool certificate = false;
    HttpFault fault = HttpFault::Other;
};

// What is asked of the server besides the URL.
struct HttpRequest {
    // Ask every cache on the way to answer from the server, not from its copy.
    bool noCache = true;
    // The body from this byte on (a Range request); 0 asks for the whole body.
    uint64_t from = 0;
    // The body's last byte wanted (a Range request from `from` to here); kToTheEnd: all
    // that follows `from`.
    static constexpr uint64_t kToTheEnd = UINT64_MAX;
    uint64_t to = kToTheEnd;
    // Several ranges in one request ("A-B,C-D"), in place of `from` and `to`.
    std::string ranges;
    // Whether a Range is asked for.
    bool Ranged() const { return !ranges.empty() || from > 0 || to != kToTheEnd; }
    // The Range header's value after "bytes=".
    std::string RangeText() const {
        if (!ranges.empty()) return ranges;
        return std::to_string(from) + "-" + (to == kToTheEnd ? "" : std::to_string(to));
    }
    // With `from`: the validator (ETag, or Last-Modified) of the answer the bytes before
    // `from` came from; a server whose file changed since sends the whole new one.
    std::string ifRange;
};

// One response being read. Reads are pulled by the caller, chunk by chunk.
class HttpResponse {
public:
    virtual ~HttpResponse() = default;
    // The HTTP status code of the final response (after redirects).
    virtual int StatusCode() = 0;
    // The response's Content-Encoding, empty when it has none.
    virtual std::string ContentEncoding() = 0;
    // Up to `len` bytes of the body; 0 at its end. Throws HttpError when the transfer
    // fails, stalls past the receive time-out, or ends before its Content-Length.
    virtual size_t Read(void* buf, size_t len) = 0;
    // The Content-Length of the response, when the server sent one.
    virtual bool ContentLength(uint64_t* value) = 0;
    // A header of the final response (ETag, Last-Modified, Content-Range, Retry-After):
    // its value, empty when the response has none.
    virtual std::string Header(const char* name) = 0;
};

// The program's internet session: the system's proxy settings, redirects followed,
// nothing read from or written to a cache of the program's own.
class HttpSession {
public:
    // Time-outs of connecting and of waiting for more data, in milliseconds.
    static constexpr unsigned kDefaultConnectTimeoutMs = 30000;
    static constexpr unsigned kDefaultReceiveTimeoutMs = 30000;

    explicit HttpSession(const char* agent);
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;
    void SetTimeouts(unsigned connectMs, unsigned receiveMs);
    // Requests and reads end with an HttpError once `stop` is requested: on POSIX at
    // once, a read waiting on a silent server included (the stop wakes it); on Windows
    // before each request and read (one under way waits out its receive time-out).
    void SetStop(const StopToken& stop);
    // Sends the GET request and waits for the response's headers. Throws HttpError when
    // the URL can't be opened. The status code is the caller's to examine. No compressed
    // encoding is asked for.
    std::unique_ptr<HttpResponse> Open(const char* url, const HttpRequest& request = {});

    struct Impl;  // the implementation's own state

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace platform
