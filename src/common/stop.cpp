#include "common/stop.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

// One wake-up for every waiter: a stop is rare, and each waiter looks at its own chain.
std::mutex g_mutex;
std::condition_variable g_stopped;

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
}
