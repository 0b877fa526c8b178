// Stop requests that travel down: a source sets its flag once; a token reads it and the
// flags of the sources it was chained to (a transfer pool's stop, chained to its run's).
// A source outlives every token taken from it and every source chained to it.
#pragma once

#include <atomic>
#include <functional>

class StopToken {
public:
    StopToken() = default;
    bool StopRequested() const {
        for (const Node* node = m_node; node; node = node->parent) {
            if (node->flag.load(std::memory_order_acquire)) return true;
        }
        return false;
    }
    // Waits up to `ms` milliseconds for a stop request; true when one came.
    bool WaitFor(unsigned ms) const;

private:
    friend class StopSource;
    struct Node {
        std::atomic<bool> flag{false};
        const Node* parent = nullptr;
    };
    explicit StopToken(const Node* node) : m_node(node) {}
    const Node* m_node = nullptr;
};

class StopSource {
public:
    StopSource() = default;
    // Stopped when `parent` is, or when this source is.
    explicit StopSource(const StopToken& parent) { m_node.parent = parent.m_node; }
    StopSource(const StopSource&) = delete;
    StopSource& operator=(const StopSource&) = delete;

    // Sets the request and wakes every WaitFor.
    void RequestStop();
    // Clears this source's own request (a new run on the same object).
    void Reset() { m_node.flag.store(false, std::memory_order_release); }
    bool StopRequested() const { return Token().StopRequested(); }
    StopToken Token() const { return StopToken(&m_node); }

private:
    StopToken::Node m_node;
};

// Calls `onStop` once, on the thread that requests the stop, when `token` is stopped
// while this object lives (at once when it already is). Once the destructor returns, a
// call under way is over and none comes. `onStop` must be quick, and must neither
// request nor wait for a stop.
class StopCallback {
public:
    StopCallback(const StopToken& token, std::function<void()> onStop);
    ~StopCallback();
    StopCallback(const StopCallback&) = delete;
    StopCallback& operator=(const StopCallback&) = delete;

private:
    friend class StopSource;
    StopToken m_token;
    std::function<void()> m_onStop;
    bool m_called = false;
};
