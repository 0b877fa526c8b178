// An HTTP server on 127.0.0.1 for the download tests, scripted per path, that can lie
// about lengths, cut a body short, stall, redirect, reset a connection, answer ranges
// (or not, or wrongly) and limit how many requests it takes at once.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testutil {

struct Reply {
    std::string status = "200 OK";
    std::vector<std::string> headers;  // extra header lines, without CR LF
    std::string body;
    // Content-Length: the body's length (true), none (false: the body ends when the
    // connection closes), or this value when >= 0.
    bool sendLength = true;
    long long announcedLength = -1;
    // Send only this many bytes of the body, then close (cut) or keep the connection
    // open without sending anything more (stall).
    size_t sendOnly = std::string::npos;
    bool stallAfter = false;
    // Send the body over and over until the client goes away (no Content-Length).
    bool endless = false;
    // Send the body one byte at a time, this many milliseconds apart.
    int dripMs = 0;
    // Close the connection after the whole body although it was announced as kept
    // alive, as a server does with an idle connection.
    bool closeAfter = false;
    // Send this many bytes of the answer's body, then reset the connection.
    size_t resetAfter = std::string::npos;
    // A "Range: bytes=N-" request is answered 206 with the rest of the body (false: the
    // whole body, 200), its Content-Range shifted by this many bytes (a server that
    // sends the wrong part).
    bool ranges = true;
    long long rangeShift = 0;
    // "Range: bytes=A-B,C-D" (closed ranges, several at once) is answered as
    // multipart/byteranges (false: with the whole body, 200, as a server that takes one
    // range per request does); the parts are separated by `partBoundary` when it is set,
    // whatever the header announces. One closed range gets a 206 of its own.
    bool multipart = true;
    std::string partBoundary{};
    // Sent as ETag; an If-Range that names another gets the whole body.
    std::string etag{};
    // Answer after this many milliseconds (a server far away, or busy).
    int delayMs = 0;
};

class LoopbackServer {
public:
    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int Port() const { return m_port; }
    std::string BaseUrl() const;
    void Route(const std::string& path, const Reply& reply);
    // The next `times` requests for `path` get `reply`, the later ones the route's.
    void RouteFirst(const std::string& path, const Reply& reply, int times);
    // More than `n` requests in progress at once get "503 Service Temporarily
    // Unavailable" with Retry-After, as nginx's limit_conn answers; 0: no limit.
    void LimitRequests(int n);
    // Forgets every route and every count: a new server on the same port.
    void Reset();
    int Requests(const std::string& path);
    int TotalRequests();
    // The paths asked for, in the order the requests arrived.
    std::vector<std::string> Order();
    // Connections accepted so far.
    int Connections();
    // Requests are routed and counted by their path; the query is ignored, as a static
    // server does.
    // The header lines of every request for `path`, in order (the request line, with the
    // query, first).
    std::vector<std::string> RequestHeads(const std::string& path);
    // Body bytes sent in all.
    long long BodyBytesSent();

    // While a PacedTicks lives, the platform's tick count is this server's body bytes at
    // `bytesPerSecond`: time passes only as the server sends, so a rate rule judges
    // what arrived against what was sent, however fast or slow the machine runs.
    class PacedTicks {
    public:
        PacedTicks(LoopbackServer& server, unsigned bytesPerSecond);
        ~PacedTicks();
        PacedTicks(const PacedTicks&) = delete;
        PacedTicks& operator=(const PacedTicks&) = delete;
    };

    // A port on 127.0.0.1 where nothing listens.
    static int ClosedPort();

private:
    void AcceptLoop();
    void Serve(intptr_t sock);
    void CountBody(size_t bytes);
    // The answer to "Range: bytes=LIST" (closed ranges), in place of the whole body.
    static void AnswerRanges(const std::string& list, Reply& reply);

    intptr_t m_listener;
    int m_port;
    std::atomic<bool> m_stopping{false};
    std::thread m_acceptThread;
    std::mutex m_mutex;
    std::map<std::string, Reply> m_routes;
    std::map<std::string, std::pair<Reply, int>> m_firsts;
    std::map<std::string, std::vector<std::string>> m_heads;
    int m_limit = 0;
    int m_inProgress = 0;
    long long m_bodyBytes = 0;
    std::map<std::string, int> m_counts;
    std::vector<std::string> m_order;
    int m_connections = 0;
    std::vector<intptr_t> m_open;
    std::vector<std::thread> m_workers;
};

}  // namespace testutil
