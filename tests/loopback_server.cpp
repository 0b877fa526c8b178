#include "loopback_server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "platform/clock.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using socklen_t = int;
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace testutil {
namespace {

#ifdef _WIN32
struct WinsockInit {
    WinsockInit() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
};
void CloseSocket(intptr_t s) { closesocket(static_cast<SOCKET>(s)); }
#else
struct WinsockInit {};
void CloseSocket(intptr_t s) { close(static_cast<int>(s)); }
#endif

void EnsureSockets() {
    static WinsockInit init;
    (void)init;
}

// Waits until `s` has data (or, `write`, room for more), looking every 50 ms whether the
// server is stopping.
bool WaitReady(intptr_t s, const std::atomic<bool>& stopping, bool write) {
    while (!stopping) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval tv{0, 50000};
        const int r = select(static_cast<int>(s) + 1, write ? nullptr : &set,
                             write ? &set : nullptr, nullptr, &tv);
        if (r > 0) return true;
        if (r < 0) return false;
    }
    return false;
}
bool WaitReadable(intptr_t s, const std::atomic<bool>& stopping) {
    return WaitReady(s, stopping, false);
}

// A connection's socket never blocks: a send to a client that stopped reading waits for
// room, and gives up when the server stops (under Wine, shutting a socket down does not
// end a send already waiting on it, and the server's end would wait for ever).
void SetNonBlocking(intptr_t s) {
#ifdef _WIN32
    u_long on = 1;
    ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &on);
#else
    fcntl(static_cast<int>(s), F_SETFL, fcntl(static_cast<int>(s), F_GETFL) | O_NONBLOCK);
#endif
}

bool WouldBlock() {
#ifdef _WIN32
    return WSAGetLastError() == WSAEWOULDBLOCK;
#else
    return errno == EAGAIN || errno == EWOULDBLOCK;
#endif
}

bool SendAll(intptr_t s, const char* data, size_t len, const std::atomic<bool>& stopping) {
    while (len > 0) {
#ifdef MSG_NOSIGNAL
        const int flags = MSG_NOSIGNAL;  // a client that hung up is not a signal
#else
        const int flags = 0;
#endif
        const int n = send(s, data, static_cast<int>(len), flags);
        if (n < 0 && WouldBlock()) {
            if (!WaitReady(s, stopping, true)) return false;
            continue;
        }
        if (n <= 0) return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// The value of a request's header line `name`, empty when it has none.
std::string HeaderValue(const std::string& request, const std::string& name) {
    size_t at = 0;
    while ((at = request.find("\r\n", at)) != std::string::npos) {
        at += 2;
        if (request.compare(at, name.size() + 1, name + ":") == 0) {
            size_t from = at + name.size() + 1;
            while (from < request.size() && request[from] == ' ') ++from;
            return request.substr(from, request.find("\r\n", from) - from);
        }
    }
    return std::string();
}

// Closes with a reset (RST) instead of an orderly end, as a broken link or a proxy that
// gives up does.
void ResetConnection(intptr_t s) {
    linger hard{1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof(hard));
}

intptr_t Listen(int* port) {
    EnsureSockets();
    intptr_t s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(s, 16) != 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    socklen_t len = sizeof(addr);
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    *port = ntohs(addr.sin_port);
    return s;
}

}  // namespace

LoopbackServer::LoopbackServer() : m_listener(Listen(&m_port)) {
    m_acceptThread = std::thread([this] { AcceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
    m_stopping = true;
    // Wake the accept loop with a connection of our own, then close everything.
    intptr_t wake = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<unsigned short>(m_port));
    connect(wake, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    m_acceptThread.join();
    CloseSocket(wake);
    CloseSocket(m_listener);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (intptr_t s : m_open) {
#ifdef _WIN32
            shutdown(static_cast<SOCKET>(s), SD_BOTH);
#else
            shutdown(static_cast<int>(s), SHUT_RDWR);
#endif
        }
    }
    for (std::thread& t : m_workers) t.join();
}

std::string LoopbackServer::BaseUrl() const { return "http://127.0.0.1:" + std::to_string(m_port); }

void LoopbackServer::Route(const std::string& path, const Reply& reply) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_routes[path] = reply;
}

void LoopbackServer::RouteFirst(const std::string& path, const Reply& reply, int times) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_firsts[path] = {reply, times};
}

void LoopbackServer::LimitRequests(int n) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_limit = n;
}

void LoopbackServer::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_routes.clear();
    m_firsts.clear();
    m_counts.clear();
    m_order.clear();
    m_heads.clear();
}

std::vector<std::string> LoopbackServer::RequestHeads(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_heads[path];
}

long long LoopbackServer::BodyBytesSent() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bodyBytes;
}

namespace {
LoopbackServer* g_pacingServer = nullptr;
unsigned g_pacingRate = 1000;
uint32_t PacedTickCount() {
    return static_cast<uint32_t>(g_pacingServer->BodyBytesSent() * 1000 / g_pacingRate);
}
}  // namespace

LoopbackServer::PacedTicks::PacedTicks(LoopbackServer& server, unsigned bytesPerSecond) {
    g_pacingServer = &server;
    g_pacingRate = bytesPerSecond;
    platform::SetTickCountForTesting(PacedTickCount);
}

LoopbackServer::PacedTicks::~PacedTicks() { platform::SetTickCountForTesting(nullptr); }

int LoopbackServer::Requests(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counts[path];
}

int LoopbackServer::TotalRequests() {
    std::lock_guard<std::mutex> lock(m_mutex);
    int total = 0;
    for (const auto& c : m_counts) total += c.second;
    return total;
}

std::vector<std::string> LoopbackServer::Order() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_order;
}

int LoopbackServer::Connections() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections;
}

void LoopbackServer::AnswerRanges(const std::string& list, Reply& reply) {
    const long long total = static_cast<long long>(reply.body.size());
    std::vector<std::pair<long long, long long>> asked;
    for (size_t at = 0; at < list.size();) {
        size_t end = list.find(',', at);
        if (end == std::string::npos) end = list.size();
        const std::string one = list.substr(at, end - at);
        const long long first = atoll(one.c_str());
        const long long last = std::min(atoll(one.c_str() + one.find('-') + 1), total - 1);
        if (first > last) return;  // not satisfiable here: the whole body
        asked.emplace_back(first, last);
        at = end + 1;
    }
    if (asked.size() > 1 && !reply.multipart) return;
    auto rangeLine = [&](const std::pair<long long, long long>& r) {
        return "Content-Range: bytes " + std::to_string(r.first + reply.rangeShift) + "-" +
               std::to_string(r.second + reply.rangeShift) + "/" + std::to_string(total);
    };
    std::string body;
    if (asked.size() == 1) {
        reply.headers.push_back(rangeLine(asked[0]));
        body = reply.body.substr(asked[0].first, asked[0].second - asked[0].first + 1);
    } else {
        const std::string boundary = "00000000000000000042";
        reply.headers.push_back("Content-Type: multipart/byteranges; boundary=" + boundary);
        const std::string sent = reply.partBoundary.empty() ? boundary : reply.partBoundary;
        for (const auto& r : asked) {
            body += "\r\n--" + sent + "\r\nContent-Type: application/octet-stream\r\n" +
                    rangeLine(r) + "\r\n\r\n" + reply.body.substr(r.first, r.second - r.first + 1);
        }
        body += "\r\n--" + sent + "--\r\n";
    }
    reply.status = "206 Partial Content";
    reply.body = body;
}

void LoopbackServer::CountBody(size_t bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bodyBytes += static_cast<long long>(bytes);
}

int LoopbackServer::ClosedPort() {
    int port = 0;
    intptr_t s = Listen(&port);
    CloseSocket(s);
    return port;
}

void LoopbackServer::AcceptLoop() {
    for (;;) {
        intptr_t s = accept(m_listener, nullptr, nullptr);
        if (m_stopping) {
            if (s >= 0) CloseSocket(s);
            return;
        }
        if (s < 0) continue;
        SetNonBlocking(s);
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_connections;
        m_open.push_back(s);
        m_workers.emplace_back([this, s] { Serve(s); });
    }
}

void LoopbackServer::Serve(intptr_t s) {
    struct Closer {
        LoopbackServer* server;
        intptr_t s;
        ~Closer() {
            std::lock_guard<std::mutex> lock(server->m_mutex);
            auto& open = server->m_open;
            for (size_t i = 0; i < open.size(); ++i) {
                if (open[i] == s) {
                    open.erase(open.begin() + static_cast<long>(i));
                    break;
                }
            }
            CloseSocket(s);
        }
    } closer{this, s};
    std::string pending;
    char buf[4096];
    for (;;) {
        // One request: its headers up to the empty line.
        size_t end;
        while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
            if (!WaitReadable(s, m_stopping)) return;
            const int n = recv(s, buf, sizeof(buf), 0);
            if (n <= 0) return;
            pending.append(buf, static_cast<size_t>(n));
        }
        const std::string request = pending.substr(0, end);
        pending.erase(0, end + 4);
        const size_t sp1 = request.find(' ');
        const size_t sp2 = request.find(' ', sp1 + 1);
        // Routed by the path alone: a static server ignores the query.
        const std::string target = request.substr(sp1 + 1, sp2 - sp1 - 1);
        const std::string path = target.substr(0, target.find('?'));
        const std::string range = HeaderValue(request, "Range");
        const std::string ifRange = HeaderValue(request, "If-Range");

        Reply reply;
        bool busy = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_counts[path];
            m_order.push_back(path);
            m_heads[path].push_back(request);
            auto first = m_firsts.find(path);
            auto it = m_routes.find(path);
            if (first != m_firsts.end() && first->second.second > 0) {
                reply = first->second.first;
                --first->second.second;
            } else if (it != m_routes.end()) {
                reply = it->second;
            } else {
                reply.status = "404 Not Found";
                reply.body = "no route";
            }
            busy = m_limit > 0 && m_inProgress >= m_limit;
            if (!busy) ++m_inProgress;
        }
        if (busy) {
            reply = Reply{"503 Service Temporarily Unavailable", {"Retry-After: 1"}, "busy"};
        } else if (reply.delayMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(reply.delayMs));
        }
        struct InProgress {
            LoopbackServer* server;
            bool counted;
            ~InProgress() {
                if (!counted) return;
                std::lock_guard<std::mutex> lock(server->m_mutex);
                --server->m_inProgress;
            }
        } inProgress{this, !busy};
        if (!reply.etag.empty()) reply.headers.push_back("ETag: " + reply.etag);
        // "bytes=N-": the rest of the body from N, unless the server ignores ranges or
        // the file is no longer the one the client kept a part of.
        if (reply.ranges && range.compare(0, 6, "bytes=") == 0 && reply.status == "200 OK" &&
            (ifRange.empty() || ifRange == reply.etag)) {
            const long long from = atoll(range.c_str() + 6);
            if (range.back() != '-') {
                AnswerRanges(range.substr(6), reply);
            } else if (from > 0 && from < static_cast<long long>(reply.body.size())) {
                const long long total = static_cast<long long>(reply.body.size());
                reply.status = "206 Partial Content";
                reply.headers.push_back("Content-Range: bytes " +
                                        std::to_string(from + reply.rangeShift) + "-" +
                                        std::to_string(total - 1) + "/" + std::to_string(total));
                reply.body = reply.body.substr(static_cast<size_t>(from));
            }
        }

        std::string head = "HTTP/1.1 " + reply.status + "\r\n";
        for (const std::string& h : reply.headers) head += h + "\r\n";
        const bool keepAlive = reply.sendLength && reply.sendOnly == std::string::npos;
        if (reply.sendLength) {
            const long long length = reply.announcedLength >= 0
                                         ? reply.announcedLength
                                         : static_cast<long long>(reply.body.size());
            head += "Content-Length: " + std::to_string(length) + "\r\n";
        }
        head += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
        const size_t bodyBytes = std::min(reply.sendOnly, reply.body.size());
        if (!SendAll(s, head.data(), head.size(), m_stopping)) return;
        if (reply.endless || reply.dripMs > 0) {
            // Until the client gives up (or the server stops).
            do {
                for (size_t i = 0; i < bodyBytes && !m_stopping;) {
                    const size_t n = reply.dripMs > 0 ? 1 : bodyBytes - i;
                    if (!SendAll(s, reply.body.data() + i, n, m_stopping)) return;
                    CountBody(n);
                    i += n;
                    if (reply.dripMs > 0) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(reply.dripMs));
                    }
                }
            } while (reply.endless && !m_stopping);
            return;
        }
        if (reply.resetAfter < bodyBytes) {
            SendAll(s, reply.body.data(), reply.resetAfter, m_stopping);
            CountBody(reply.resetAfter);
            ResetConnection(s);
            return;
        }
        if (!SendAll(s, reply.body.data(), bodyBytes, m_stopping)) return;
        CountBody(bodyBytes);
        if (reply.stallAfter) {
            // Hold the connection open, sending nothing, until the server stops.
            while (!m_stopping) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return;
        }
        if (!keepAlive || reply.closeAfter) {
#ifdef _WIN32
            shutdown(static_cast<SOCKET>(s), SD_SEND);
#else
            shutdown(static_cast<int>(s), SHUT_WR);
#endif
            // Drain until the client closes, so the close is orderly.
            while (WaitReadable(s, m_stopping) && recv(s, buf, sizeof(buf), 0) > 0) {
            }
            return;
        }
    }
}

}  // namespace testutil
