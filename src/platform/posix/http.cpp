// HttpSession and HttpResponse over libcurl: one transfer at a time, pulled by the
// caller's reads.
#include <curl/curl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/http.h"

namespace platform {

// The multi interface drives one transfer; its data lands in a small buffer that Read
// empties. When the buffer is full the transfer is paused until the caller has read,
// so memory stays bounded whatever the size of the file.

namespace {

constexpr size_t kHighWater = 64 * 1024;

// libcurl's global state, set up exactly once for the process (by the first session)
// and kept until it ends: a function-local static is initialised once even when two
// threads open sessions together (libcurl before 7.84 needs that: its
// curl_global_init is not thread-safe).
struct CurlGlobal {
    CurlGlobal() : code(curl_global_init(CURL_GLOBAL_DEFAULT)) {}
    const CURLcode code;
};

}  // namespace

// One multi handle and one easy handle for the whole session, so that connections to
// the server are kept and reused from one file to the next.
struct HttpSession::Impl {
    Impl() {
        static const CurlGlobal global;
        // Without it no session can be made; the result stays for the process.
        if (global.code != CURLE_OK) {
            throw HttpError("curl_global_init failed", global.code,
                            curl_easy_strerror(global.code));
        }
        multi = curl_multi_init();
        easy = curl_easy_init();
    }
    ~Impl() {
        onStop.reset();  // no wake-up of what is cleaned up next
        if (easy) curl_easy_cleanup(easy);
        if (multi) curl_multi_cleanup(multi);
    }
    std::string agent;
    unsigned connectMs = kDefaultConnectTimeoutMs;
    unsigned receiveMs = kDefaultReceiveTimeoutMs;
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    bool busy = false;
    StopToken stop;
    // Wakes a transfer waiting on the server when the stop comes.
    std::unique_ptr<StopCallback> onStop;
};

namespace {

// The URL as it goes on the wire: bytes a request line cannot carry (spaces, controls,
// and the GBK bytes of non-ASCII names) are percent-encoded; the server decodes them to
// the same bytes that WinInet sends under code page 936.
std::string Escape(const char* url) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(url); *p; ++p) {
        if (*p <= 0x20 || *p >= 0x7F) {
            out += '%';
            out += kHex[*p >> 4];
            out += kHex[*p & 15];
        } else {
            out += static_cast<char>(*p);
        }
    }
    return out;
}

// The kind of failure a libcurl code names.
HttpFault FaultOf(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_CONNECT:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return HttpFault::Refused;
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return HttpFault::Broken;
        default:
            return HttpFault::Other;
    }
}

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

class CurlResponse : public HttpResponse {
public:
    CurlResponse(HttpSession::Impl& session, const char* url, const HttpRequest& request)
        : m_session(session), m_multi(session.multi), m_easy(session.easy) {
        if (!m_multi || !m_easy) throw HttpError("curl init failed");
        if (m_session.busy) throw HttpError("one transfer at a time");
        curl_slist* headers = nullptr;
        if (request.noCache) {
            headers = curl_slist_append(headers, "Pragma: no-cache");
            headers = curl_slist_append(headers, "Cache-Control: no-cache");
        }
        // The body must arrive as the bytes the manifest describes.
        headers = curl_slist_append(headers, "Accept-Encoding: identity");
        if (request.from > 0 && !request.ifRange.empty()) {
            headers = curl_slist_append(headers, ("If-Range: " + request.ifRange).c_str());
        }
        m_headers.reset(headers);
        const std::string range = request.Ranged() ? request.RangeText() : "";
        curl_easy_setopt(m_easy, CURLOPT_RANGE, range.empty() ? nullptr : range.c_str());
        curl_easy_setopt(m_easy, CURLOPT_URL, Escape(url).c_str());
        curl_easy_setopt(m_easy, CURLOPT_HTTPHEADER, m_headers.get());
        if (!m_session.agent.empty()) {
            curl_easy_setopt(m_easy, CURLOPT_USERAGENT, m_session.agent.c_str());
        }
        curl_easy_setopt(m_easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(m_easy, CURLOPT_MAXREDIRS, 30L);
        // Over https the certificate is checked against the system's CA bundle (libcurl's
        // default, never turned off), and a redirect may not leave https.
        const bool secure = strncmp(url, "https://", 8) == 0;
        curl_easy_setopt(m_easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
        curl_easy_setopt(m_easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(m_easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(m_session.connectMs));
        // A transfer that moves less than one byte a second for the receive time-out
        // has stalled.
        curl_easy_setopt(m_easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(m_easy, CURLOPT_LOW_SPEED_TIME,
                         static_cast<long>((m_session.receiveMs + 999) / 1000));
        curl_easy_setopt(m_easy, CURLOPT_WRITEFUNCTION, &CurlResponse::OnData);
        curl_easy_setopt(m_easy, CURLOPT_WRITEDATA, this);
        const CURLMcode added = curl_multi_add_handle(m_multi, m_easy);
        if (added != CURLM_OK) {
            throw HttpError("curl_multi_add_handle failed", added, curl_multi_strerror(added));
        }
        m_session.busy = true;

        Pump();
        if (m_done && m_result != CURLE_OK && Pending() == 0) {
            Detach();
            throw Failure();
        }
        curl_off_t length = -1;
        if (curl_easy_getinfo(m_easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
            length >= 0) {
            m_hasLength = true;
            m_length = static_cast<uint64_t>(length);
        }
    }

    ~CurlResponse() override { Detach(); }

    size_t Read(void* out, size_t len) override {
        Pump();
        const size_t n = std::min(len, Pending());
        if (n == 0) {
            if (m_result != CURLE_OK) throw Failure();
            return 0;
        }
        memcpy(out, m_buffer.data() + m_head, n);
        m_head += n;
        if (m_head == m_buffer.size()) {
            m_buffer.clear();
            m_head = 0;
        }
        return n;
    }

    bool ContentLength(uint64_t* value) override {
        if (m_hasLength) *value = m_length;
        return m_hasLength;
    }

    int StatusCode() override {
        long code = 0;
        curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &code);
        return static_cast<int>(code);
    }

    std::string ContentEncoding() override { return Header("Content-Encoding"); }

    std::string Header(const char* name) override {
        curl_header* header = nullptr;
        // -1: the last request, the one after any redirects.
        if (curl_easy_header(m_easy, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK || !header ||
            !header->value) {
            return std::string();
        }
        return header->value;
    }

private:
    size_t Pending() const { return m_buffer.size() - m_head; }

    // Why the transfer ended, with libcurl's code and text for the log.
    HttpError Failure() const {
        if (m_multiResult != CURLM_OK) {
            return HttpError("curl_multi_perform failed", m_multiResult,
                             curl_multi_strerror(m_multiResult));
        }
        HttpError error("transfer failed", m_result, curl_easy_strerror(m_result));
        error.certificate =
            m_result == CURLE_PEER_FAILED_VERIFICATION || m_result == CURLE_SSL_INVALIDCERTSTATUS;
        error.fault = FaultOf(m_result);
        return error;
    }

    void Detach() {
        if (!m_session.busy) return;
        curl_multi_remove_handle(m_multi, m_easy);
        curl_easy_setopt(m_easy, CURLOPT_WRITEDATA, nullptr);
        m_session.busy = false;
    }

    static size_t OnData(char* data, size_t size, size_t count, void* self) {
        CurlResponse* r = static_cast<CurlResponse*>(self);
        if (r->Pending() >= kHighWater) {
            r->m_paused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        if (r->m_head > 0 && r->m_head == r->m_buffer.size()) {
            r->m_buffer.clear();
            r->m_head = 0;
        }
        r->m_buffer.insert(r->m_buffer.end(), data, data + size * count);
        return size * count;
    }

    // Runs the transfer until data is waiting or it has ended.
    void Pump() {
        while (Pending() == 0 && !m_done) {
            if (m_paused) {
                m_paused = false;
                curl_easy_pause(m_easy, CURLPAUSE_CONT);
                continue;
            }
            int running = 0;
            const CURLMcode performed = curl_multi_perform(m_multi, &running);
            if (performed != CURLM_OK) {
                m_done = true;
                m_result = CURLE_RECV_ERROR;
                m_multiResult = performed;
                break;
            }
            int queued = 0;
            while (CURLMsg* msg = curl_multi_info_read(m_multi, &queued)) {
                if (msg->msg == CURLMSG_DONE) {
                    m_done = true;
                    m_result = msg->data.result;
                }
            }
            if (Pending() == 0 && !m_done) {
                // A stop wakes the wait (curl_multi_wakeup), also on a silent server.
                const CURLMcode polled = curl_multi_poll(m_multi, nullptr, 0, 1000, nullptr);
                if (polled != CURLM_OK) {
                    m_done = true;
                    m_result = CURLE_RECV_ERROR;
                    m_multiResult = polled;
                } else if (m_session.stop.StopRequested()) {
                    m_done = true;
                    m_result = CURLE_ABORTED_BY_CALLBACK;
                }
            }
        }
    }

    HttpSession::Impl& m_session;
    CURLM* m_multi;
    CURL* m_easy;
    std::unique_ptr<curl_slist, SlistDeleter> m_headers;  // in force while the transfer runs
    std::vector<char> m_buffer;
    size_t m_head = 0;
    bool m_paused = false;
    bool m_done = false;
    CURLcode m_result = CURLE_OK;
    CURLMcode m_multiResult = CURLM_OK;  // set when the multi handle itself failed
    bool m_hasLength = false;
    uint64_t m_length = 0;
};

}  // namespace

HttpSession::HttpSession(const char* agent) : m_impl(new Impl) {
    if (agent) m_impl->agent = agent;
}

HttpSession::~HttpSession() = default;

void HttpSession::SetTimeouts(unsigned connectMs, unsigned receiveMs) {
    m_impl->connectMs = connectMs;
    m_impl->receiveMs = receiveMs;
}

void HttpSession::SetStop(const StopToken& stop) {
    Impl* impl = m_impl.get();
    impl->onStop.reset();
    impl->stop = stop;
    impl->onStop.reset(new StopCallback(stop, [impl] {
        if (impl->multi) curl_multi_wakeup(impl->multi);
    }));
}

std::unique_ptr<HttpResponse> HttpSession::Open(const char* url, const HttpRequest& request) {
    return std::unique_ptr<HttpResponse>(new CurlResponse(*m_impl, url, request));
}

}  // namespace platform
