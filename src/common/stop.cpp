#include "common/stop.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

namespace {

// One wake-up for every waiter: a stop is rare, and each waiter looks at its own chain.
std::mutex g_mutex;
std::condition_variable g_stopped;
std::vector<StopCallback*> g_callbacks;  // under g_mutex

}  // namespace

bool StopToken::WaitFor(unsigned ms) const {
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_stopped.wait_for(lock, std::chrono::milliseconds(ms),
                              [this] { return StopRequested(); });
}

void StopSource::RequestStop() {
    m_node.flag.store(true, std::memory_order_release);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_stopped.notify_all();
    for (StopCallback* callback : g_callbacks) {
        if (!callback->m_called && callback->m_token.StopRequested()) {
            callback->m_called = true;
            callback->m_onStop();
        }
    }
}

StopCallback::StopCallback(const StopToken& token, std::function<void()> onStop)
    : m_token(token), m_onStop(std::move(onStop)) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (m_token.StopRequested()) {
        m_called = true;
        m_onStop();
    }
    g_callbacks.push_back(this);
}

StopCallback::~StopCallback() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_callbacks.erase(std::find(g_callbacks.begin(), g_callbacks.end(), this));
}
