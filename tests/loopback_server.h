// An HTTP server on 127.0.0.1 for the download tests, scripted per path, that can lie
// about lengths, cut a body short, stall or redirect.
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
    // Forgets every route and every count: a new server on the same port.
    void Reset();
    int Requests(const std::string& path);
    int TotalRequests();
    // The paths asked for, in the order the requests arrived.
    std::vector<std::string> Order();
    // Connections accepted so far.
    int Connections();

    // A port on 127.0.0.1 where nothing listens.
    static int ClosedPort();

private:
    void AcceptLoop();
    void Serve(intptr_t sock);

    intptr_t m_listener;
    int m_port;
    std::atomic<bool> m_stopping{false};
    std::thread m_acceptThread;
    std::mutex m_mutex;
    std::map<std::string, Reply> m_routes;
    std::map<std::string, int> m_counts;
    std::vector<std::string> m_order;
    int m_connections = 0;
    std::vector<intptr_t> m_open;
    std::vector<std::thread> m_workers;
};

}  // namespace testutil
