// The transfers that fetch a release's files: the connection the manifest came over and,
// up to a limit, more of their own, each on a thread of its own. Files start in their
// order; the first failure (or the run's stop) ends every transfer at its next chunk.
// Questions from the transfers go to the prompter, which the calling thread serves.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/stop.h"
#include "net/download.h"

namespace platform {
class Prompter;
}

class FetchPool {
public:
    // `first`: the connection the first slot uses; the others copy its settings.
    // `maxTransfers`: at most this many at once (at least one). `stop`: the run's.
    FetchPool(Transfer& first, unsigned maxTransfers, StopToken stop, ProgressCounters& counters,
              platform::Prompter& prompter);
    ~FetchPool();
    FetchPool(const FetchPool&) = delete;
    FetchPool& operator=(const FetchPool&) = delete;

    // What the pool does with file i.
    struct Hooks {
        // Readies file i (its folders, its first log line) and gives the name the window
        // shows while it is in transfer. Called in the order of i, one at a time.
        std::function<std::string(size_t)> start;
        // Fetches file i over `transfer` and checks what arrived.
        std::function<void(Transfer&, size_t)> fetch;
        // Runs once, on the failing thread, as soon as a file has failed.
        std::function<void()> onFailure;
    };
    // Fetches files 0 to count-1. Returns when every one has arrived; throws the first
    // failure (UpdateFailed), or Cancelled when the run was stopped.
    void Run(size_t count, const Hooks& hooks);

private:
    struct Flight;
    void RunSlot(Transfer& transfer, Flight& flight);

    Transfer& m_first;
    unsigned m_maxTransfers;
    StopSource m_stop;
    ProgressCounters& m_counters;
    platform::Prompter& m_prompter;
    std::vector<std::unique_ptr<Transfer>> m_extra;
};
