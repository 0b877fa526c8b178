// HTTP over WinInet: the program's internet session and one response read chunk by
// chunk.
#include <windows.h>
#include <wininet.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "platform/errors.h"
#include "platform/http.h"
#include "platform/win32/system_dlls.h"
#include "platform/win32/win32.h"

namespace platform {
namespace {

using win32::InternetHandle;

// WinInet, loaded from the system folder by the first session (which fails without it).
const win32::WinInetApi& Api() { return *win32::WinInet(); }

bool IsCertificateFailure(long code) {
    switch (code) {
        case ERROR_INTERNET_INVALID_CA:
        case ERROR_INTERNET_SEC_CERT_CN_INVALID:
        case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
        case ERROR_INTERNET_SEC_CERT_ERRORS:
        case ERROR_INTERNET_SEC_CERT_NO_REV:
        case ERROR_INTERNET_SEC_CERT_REV_FAILED:
        case ERROR_INTERNET_SEC_CERT_REVOKED:
        case ERROR_INTERNET_SEC_INVALID_CERT:
            return true;
        default:
            return false;
    }
}

// The kind of failure a WinInet code names.
HttpFault FaultOf(long code) {
    switch (code) {
        case ERROR_INTERNET_CANNOT_CONNECT:
        case ERROR_INTERNET_NAME_NOT_RESOLVED:
        case 10061:  // WSAECONNREFUSED, as some WinInet builds pass the socket's code on
            return HttpFault::Refused;
        case ERROR_INTERNET_TIMEOUT:
        case ERROR_INTERNET_CONNECTION_ABORTED:
        case ERROR_INTERNET_CONNECTION_RESET:
        case ERROR_HTTP_INVALID_SERVER_RESPONSE:
        case 10053:  // WSAECONNABORTED
        case 10054:  // WSAECONNRESET
        case 10060:  // WSAETIMEDOUT
            return HttpFault::Broken;
        default:
            return HttpFault::Other;
    }
}

// A system failure of `step`, with the kind of failure its code names.
HttpError Failed(const char* step) {
    HttpError error = LastError<HttpError>(step);
    error.certificate = IsCertificateFailure(error.Code());
    error.fault = FaultOf(error.Code());
    return error;
}

// The error of a request or read asked for once the session's stop is requested.
void ThrowIfStopped(const StopToken& stop) {
    if (stop.StopRequested()) throw HttpError("stopped");
}

class WinInetResponse : public HttpResponse {
public:
    // Takes over the connection and the request sent on it.
    WinInetResponse(InternetHandle connection, InternetHandle request, StopToken stop)
        : m_connection(std::move(connection)), m_request(std::move(request)), m_stop(stop) {
        // As text: HTTP_QUERY_FLAG_NUMBER reads only 32 bits of a length.
        char text[32] = "";
        DWORD size = sizeof(text) - 1;
        if (Api().HttpQueryInfoA(m_request.get(), HTTP_QUERY_CONTENT_LENGTH, text, &size,
                                 nullptr)) {
            text[size < sizeof(text) ? size : sizeof(text) - 1] = '\0';
            char* end = nullptr;
            errno = 0;
            const unsigned long long value = strtoull(text, &end, 10);
            m_hasLength = end != text && *end == '\0' && errno == 0 && text[0] != '-';
            m_length = value;
        }
    }

    size_t Read(void* buf, size_t len) override {
        // Wait for some data, then take only what is there: InternetReadFile alone may
        // wait until the whole buffer is filled, so a server that trickles bytes would
        // hold a read for minutes while the caller's rate check never runs.
        ThrowIfStopped(m_stop);
        DWORD available = 0;
        if (!Api().InternetQueryDataAvailable(m_request.get(), &available, 0, 0)) {
            throw Failed("InternetQueryDataAvailable failed");
        }
        if (available > 0 && available < len) len = available;
        DWORD n = 0;
        if (!Api().InternetReadFile(m_request.get(), buf, static_cast<DWORD>(len), &n)) {
            throw Failed("InternetReadFile failed");
        }
        m_received += n;
        // A connection that closed before the announced length is a failed transfer,
        // not the end of the file.
        if (n == 0 && m_hasLength && m_received < m_length) {
            HttpError error("body cut short");
            error.fault = HttpFault::Broken;
            throw error;
        }
        return n;
    }

    bool ContentLength(uint64_t* value) override {
        if (m_hasLength) *value = m_length;
        return m_hasLength;
    }

    int StatusCode() override {
        DWORD value = 0, size = sizeof(value);
        if (!Api().HttpQueryInfoA(m_request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                                  &value, &size, nullptr)) {
            return 0;
        }
        return static_cast<int>(value);
    }

    std::string ContentEncoding() override { return Header("Content-Encoding"); }

    std::string Header(const char* name) override {
        // HTTP_QUERY_CUSTOM: the buffer names the header and receives its value.
        char value[512] = "";
        const size_t len = strlen(name);
        if (len >= sizeof(value)) return std::string();
        memcpy(value, name, len + 1);
        DWORD size = sizeof(value) - 1;
        if (!Api().HttpQueryInfoA(m_request.get(), HTTP_QUERY_CUSTOM, value, &size, nullptr)) {
            return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? std::string("?") : std::string();
        }
        return std::string(value, size);
    }

private:
    // In this order, so that the request is closed before its connection.
    InternetHandle m_connection;
    InternetHandle m_request;
    StopToken m_stop;
    bool m_hasLength = false;
    uint64_t m_length = 0;
    uint64_t m_received = 0;
};

}  // namespace

struct HttpSession::Impl {
    InternetHandle internet;
    StopToken stop;
    DWORD connectMs = kDefaultConnectTimeoutMs;
    DWORD receiveMs = kDefaultReceiveTimeoutMs;
};

HttpSession::HttpSession(const char* agent) : m_impl(new Impl) {
    if (!win32::WinInet()) throw LastError<HttpError>("loading wininet.dll failed");
    // WinInet allows few connections to one server per process; every session of the
    // updater may hold one while several files are in flight.
    DWORD most = 16;
    Api().InternetSetOptionA(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &most, sizeof(most));
    Api().InternetSetOptionA(nullptr, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, &most,
                             sizeof(most));
    m_impl->internet.reset(
        Api().InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!m_impl->internet) throw LastError<HttpError>("InternetOpen failed");
    SetTimeouts(kDefaultConnectTimeoutMs, kDefaultReceiveTimeoutMs);
}

HttpSession::~HttpSession() = default;

void HttpSession::SetTimeouts(unsigned connectMs, unsigned receiveMs) {
    m_impl->connectMs = connectMs;
    m_impl->receiveMs = receiveMs;
    DWORD c = connectMs, r = receiveMs;
    HINTERNET internet = m_impl->internet.get();
    Api().InternetSetOptionA(internet, INTERNET_OPTION_CONNECT_TIMEOUT, &c, sizeof(c));
    Api().InternetSetOptionA(internet, INTERNET_OPTION_RECEIVE_TIMEOUT, &r, sizeof(r));
    Api().InternetSetOptionA(internet, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, &r, sizeof(r));
}

void HttpSession::SetStop(const StopToken& stop) { m_impl->stop = stop; }

std::unique_ptr<HttpResponse> HttpSession::Open(const char* url, const HttpRequest& options) {
    ThrowIfStopped(m_impl->stop);
    // The request is built step by step (as the framework's OpenURL does for http) so
    // that its time-outs are in force before it is sent.
    char host[256] = "", path[2048] = "";
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof(host);
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = sizeof(path);
    if (!Api().InternetCrackUrlA(url, 0, 0, &parts)) {
        throw LastError<HttpError>("InternetCrackUrl failed");
    }
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && !secure) throw HttpError("not an http URL");
    InternetHandle connection(Api().InternetConnectA(
        m_impl->internet.get(), host, parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 1));
    if (!connection) throw Failed("InternetConnect failed");
    // Never written to the program's cache; with noCache never answered from it either,
    // and proxies are asked not to answer from theirs (a stale manifest must never be
    // used). Over https the server's certificate is checked against the system's store
    // (no flag turns any check off), and a redirect to plain http fails.
    const DWORD flags =
        INTERNET_FLAG_TRANSFER_ASCII | INTERNET_FLAG_NO_CACHE_WRITE |
        (options.noCache ? INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE : 0) |
        (secure ? INTERNET_FLAG_SECURE : 0);
    InternetHandle request(
        Api().HttpOpenRequestA(connection.get(), "GET", path, nullptr, nullptr, nullptr, flags, 1));
    if (!request) throw Failed("HttpOpenRequest failed");
    DWORD c = m_impl->connectMs, r = m_impl->receiveMs;
    Api().InternetSetOptionA(request.get(), INTERNET_OPTION_CONNECT_TIMEOUT, &c, sizeof(c));
    Api().InternetSetOptionA(request.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &r, sizeof(r));
    Api().InternetSetOptionA(request.get(), INTERNET_OPTION_SEND_TIMEOUT, &r, sizeof(r));
    // The body must arrive as the bytes the manifest describes: no compression.
    std::string headers = "Accept-Encoding: identity\r\n";
    // Said outright, not only to a proxy WinInet knows of: caches on the way read them.
    if (options.noCache) headers += "Pragma: no-cache\r\nCache-Control: no-cache\r\n";
    if (options.Ranged()) {
        headers += "Range: bytes=" + options.RangeText() + "\r\n";
        if (!options.ifRange.empty()) headers += "If-Range: " + options.ifRange + "\r\n";
    }
    if (!Api().HttpSendRequestA(request.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                                nullptr, 0)) {
        throw Failed("HttpSendRequest failed");
    }
    return std::make_unique<WinInetResponse>(std::move(connection), std::move(request),
                                             m_impl->stop);
}

void win32::InternetTraits::Close(Handle h) { Api().InternetCloseHandle(h); }

}  // namespace platform
