// The transfers that fetch a release's files: the connection the manifest came over and,
// up to a limit, more of their own, each on a thread of its own. Files start in their
// order. The server decides how many connections it takes: a connection it refuses, or
// answers with 503 or 429 while another works, is closed and its file goes back to the
// queue. A transient failure (a broken connection, a time-out, 408, 429, 500, 502, 503,
// 504) is tried again a bounded number of times, going on from the bytes kept; a file
// whose bytes are not the listed ones is fetched once more past every cache. The first
// failure that is not tried again (or the run's stop) ends every transfer at its next
// chunk. Questions from the transfers go to the prompter, which the calling thread
// serves.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/stop.h"
#include "net/download.h"

class UpdateFailed;
class UpdateLog;
namespace platform {
class Prompter;
}

// How often, and how soon, a failure that may be tried again is: a file gets this many
// attempts in a row that bring less than kProgressBytes, and the run this many such
// retries between two files that arrive; the waits between them double from the first, up to the
// most (or what the server asked for with Retry-After, up to 30 s).
struct RetryLimits {
    unsigned attemptsWithoutProgress = 3;
    unsigned retriesInAll = 8;
    unsigned firstWaitMs = 1000;
    unsigned mostWaitMs = 8000;
};

// The wait before attempt number `failures` + 1 of a file whose last `failures` attempts
// brought no progress (0: at once).
unsigned RetryWaitMs(const RetryLimits& limits, unsigned failures, const UpdateFailed& failure);

// The attempts of one body (a file, the manifest, its signature): after a failed one,
// whether to try again and how long to wait first. `runRetries`, when given, counts the
// retries without progress that every file of the run shares (the transfer pool starts
// it again each time a file arrives); `meter`, when given, is the run's stall rule,
// which ends the retries of a run that has stalled (RateMeter::MayTryAgain).
class RetryPolicy {
public:
    explicit RetryPolicy(const RetryLimits& limits, unsigned* runRetries = nullptr,
                         RateMeter* meter = nullptr)
        : m_limits(limits), m_runRetries(runRetries), m_meter(meter) {}
    // `progressed`: the attempt brought at least kProgressBytes. False: give up.
    bool TryAgain(const UpdateFailed& failure, bool progressed, unsigned* waitMs);

private:
    const RetryLimits& m_limits;
    unsigned* m_runRetries;
    RateMeter* m_meter;
    unsigned m_failures = 0;  // attempts in a row without progress
};
// The log line of an attempt to be made again after `waitMs`.
void LogRetry(UpdateLog& log, unsigned waitMs, const std::string& name,
              const UpdateFailed& failure);

class FetchPool {
public:
    // `first`: the connection the first slot uses; the others copy its settings and
    // share its stall rule. `maxTransfers`: at most this many at once (at least one).
    // `stop`: the run's.
    FetchPool(Transfer& first, unsigned maxTransfers, StopToken stop, UpdateLog& log,
              ProgressCounters& counters, platform::Prompter& prompter,
              const RetryLimits& limits = RetryLimits());
    ~FetchPool();
    FetchPool(const FetchPool&) = delete;
    FetchPool& operator=(const FetchPool&) = delete;

    // What the pool does with file i.
    struct Hooks {
        // Readies file i (its folders) and gives the name the window and the log show.
        // Called in the order of i, one at a time.
        std::function<std::string(size_t)> start;
        // Fetches file i over `transfer`, going on from `state`, and checks what arrived;
        // `noCache`: asked past every cache.
        std::function<void(Transfer& transfer, size_t i, FetchState& state, bool noCache)> fetch;
        // Runs once, on the failing thread, as soon as a file has failed for good, with
        // that failure (before the other transfers have stopped).
        std::function<void(const std::exception_ptr&)> onFailure;
    };
    // Fetches one file per state (what is kept of each, from an earlier attempt or run).
    // Returns when every one has arrived; throws the first failure that is not tried
    // again (UpdateFailed), or Cancelled when the run was stopped.
    void Run(std::vector<FetchState>& states, const Hooks& hooks);
    // The connections that worked in the last Run.
    unsigned ConnectionsUsed() const { return m_connectionsUsed; }

private:
    struct Flight;
    // kNarrowed: the server took no more connections, and this one closed.
    enum class Attempts { kArrived, kEnded, kNarrowed };
    // One transfer's loop: files from the queue until none is left or the download ends.
    void RunSlot(Transfer& transfer, Flight& flight);
    // The next file for a slot, readied; false when the slot ends.
    bool NextFile(std::unique_lock<std::mutex>& lock, Flight& flight, size_t* file);
    // One file's attempts; kEnded when the slot ends (a failure, a stop, fewer connections).
    Attempts FetchFile(std::unique_lock<std::mutex>& lock, Transfer& transfer, Flight& flight,
                       size_t file);
    bool Unparked(std::unique_lock<std::mutex>& lock, Flight& flight);
    void Enter(Flight& flight, size_t file, Transfer& transfer);
    void Leave(Flight& flight, size_t file);
    void Fail(Flight& flight);

    Transfer& m_first;
    unsigned m_maxTransfers;
    StopSource m_stop;
    UpdateLog& m_log;
    ProgressCounters& m_counters;
    platform::Prompter& m_prompter;
    RetryLimits m_limits;
    std::vector<std::unique_ptr<Transfer>> m_extra;
    unsigned m_connectionsUsed = 0;
};
