#include "net/fetch_pool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <set>
#include <thread>

#include "common/failure.h"
#include "log/update_log.h"
#include "platform/prompter.h"

unsigned RetryWaitMs(const RetryLimits& limits, unsigned failures, const UpdateFailed& failure) {
    unsigned wait = 0;
    if (failures > 0) {
        wait = limits.firstWaitMs;
        for (unsigned i = 1; i < failures && wait < limits.mostWaitMs; ++i) wait *= 2;
        wait = std::min(wait, limits.mostWaitMs);
    }
    return std::max(wait, failure.RetryAfterMs());
}

bool RetryPolicy::TryAgain(const UpdateFailed& failure, bool progressed, unsigned* waitMs) {
    const Retry kind = failure.RetryKind();
    const bool transient =
        kind == Retry::Transient || kind == Retry::Busy || kind == Retry::Refused;
    if (progressed) {
        m_failures = 0;
    } else {
        ++m_failures;
        if (m_runRetries) ++*m_runRetries;
    }
    if (!transient || m_failures >= m_limits.attemptsWithoutProgress ||
        (m_runRetries && *m_runRetries > m_limits.retriesInAll)) {
        return false;
    }
    *waitMs = RetryWaitMs(m_limits, m_failures, failure);
    return !m_meter || m_meter->MayTryAgain(*waitMs);
}

void LogRetry(UpdateLog& log, unsigned waitMs, const std::string& name,
              const UpdateFailed& failure) {
    log.WriteLine("下载中断，%u秒后重试%s:%s", (waitMs + 999) / 1000, name.c_str(),
                  failure.Reason().c_str());
}

struct FetchPool::Flight {
    const Hooks* hooks = nullptr;
    std::vector<FetchState>* states = nullptr;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<size_t> queue;  // files waiting for a transfer, the next first
    size_t started = 0;        // files readied so far (start was called)
    size_t finished = 0;       // files that arrived
    std::set<size_t> inFlight;
    std::vector<std::string> names;    // what the window shows for each file started
    std::vector<Transfer*> transfers;  // the transfer of each file in flight
    std::vector<bool> mismatchRetried;
    std::atomic<uint64_t> shown{0};
    unsigned alive = 0;    // slots that may still take files
    unsigned parked = 0;   // slots closed because the server took no more connections
    unsigned wakeups = 0;  // of those, how many may try again
    // One of them tries again each time this many files have arrived: twice as many
    // each time the server turns away a connection that had tried again.
    unsigned wakeEvery = 4;
    unsigned sinceWake = 0;
    unsigned worked = 0;   // slots that brought a file
    unsigned retries = 0;  // retries without progress since a file last arrived
    std::exception_ptr failure;
};

FetchPool::FetchPool(Transfer& first, unsigned maxTransfers, StopToken stop, UpdateLog& log,
                     ProgressCounters& counters, platform::Prompter& prompter,
                     const RetryLimits& limits)
    : m_first(first),
      m_maxTransfers(std::max(maxTransfers, 1u)),
      m_stop(stop),
      m_log(log),
      m_counters(counters),
      m_prompter(prompter),
      m_limits(limits) {}

FetchPool::~FetchPool() = default;

void FetchPool::Run(std::vector<FetchState>& states, const Hooks& hooks) {
    const size_t count = states.size();
    Flight flight;
    flight.hooks = &hooks;
    flight.states = &states;
    flight.names.resize(count);
    flight.transfers.resize(count);
    flight.mismatchRetried.resize(count);
    for (size_t i = 0; i < count; ++i) flight.queue.push_back(i);
    const size_t slots = std::min<size_t>(m_maxTransfers, count);
    m_connectionsUsed = 0;
    if (slots <= 1) {
        // One file after another on the manifest's connection, on this thread.
        flight.alive = 1;
        RunSlot(m_first, flight);
        m_connectionsUsed = flight.worked;
        if (flight.failure) std::rethrow_exception(flight.failure);
        if (m_stop.StopRequested()) throw Cancelled();
        return;
    }

    std::vector<Transfer*> transfers{&m_first};
    while (m_extra.size() < slots - 1) m_extra.push_back(m_first.MakeSibling(m_stop.Token()));
    for (size_t i = 0; i + 1 < slots; ++i) transfers.push_back(m_extra[i].get());
    const StopToken firstStop = m_first.Stop();
    for (Transfer* t : transfers) {
        t->SetStop(m_stop.Token());
        t->SetShown(&flight.shown);
    }
    struct Restore {
        Transfer& first;
        StopToken stop;
        ~Restore() {
            first.SetStop(stop);
            first.SetShown(nullptr);
        }
    } restore{m_first, firstStop};

    std::vector<std::thread> threads;
    std::atomic<size_t> running{transfers.size()};
    flight.alive = static_cast<unsigned>(transfers.size());
    try {
        for (Transfer* t : transfers) {
            threads.emplace_back([this, t, &flight, &running] {
                RunSlot(*t, flight);
                running.fetch_sub(1);
                m_prompter.Wake();
            });
        }
    } catch (...) {  // no thread could be made: end those that run, then fail
        m_stop.RequestStop();
        {
            std::lock_guard<std::mutex> lock(flight.mutex);
            flight.changed.notify_all();
        }
        running.fetch_sub(transfers.size() - threads.size());
        for (std::thread& thread : threads) thread.join();
        throw UpdateFailed(FailedStep::Download, "无法启动更新线程");
    }
    // This thread asks the transfers' questions until every transfer has ended.
    m_prompter.ServeUntil([&running] { return running.load() == 0; });
    for (std::thread& thread : threads) thread.join();
    m_connectionsUsed = flight.worked;
    if (flight.failure) std::rethrow_exception(flight.failure);
    if (m_stop.StopRequested()) throw Cancelled();
}

// Which file the window shows: the first in flight, in the files' order. The caller
// holds the flight's lock.
void FetchPool::Enter(Flight& flight, size_t file, Transfer& transfer) {
    flight.transfers[file] = &transfer;
    transfer.SetTicket(file);
    flight.inFlight.insert(file);
    if (*flight.inFlight.begin() == file) m_counters.SetFileName(flight.names[file]);
    flight.shown = *flight.inFlight.begin();
}

void FetchPool::Leave(Flight& flight, size_t file) {
    flight.inFlight.erase(file);
    if (flight.inFlight.empty()) return;
    const size_t shown = *flight.inFlight.begin();
    if (flight.shown.exchange(shown) == shown) return;
    // The window shows the next file at once, not from its next chunk on.
    m_counters.SetFileName(flight.names[shown]);
    flight.transfers[shown]->Publish();
}

// Ends the whole download with the failure being handled (the caller holds the lock).
void FetchPool::Fail(Flight& flight) {
    if (!flight.failure) {
        flight.failure = std::current_exception();
        if (flight.hooks->onFailure) flight.hooks->onFailure(flight.failure);
    }
    m_stop.RequestStop();
    flight.changed.notify_all();
}

bool FetchPool::NextFile(std::unique_lock<std::mutex>& lock, Flight& flight, size_t* file) {
    // The next file, or the end: nothing left, a failure, a stop.
    flight.changed.wait(lock, [&flight, this] {
        return !flight.queue.empty() || flight.failure || m_stop.StopRequested() ||
               flight.finished == flight.states->size();
    });
    if (flight.queue.empty() || flight.failure || m_stop.StopRequested()) return false;
    *file = flight.queue.front();
    flight.queue.pop_front();
    try {
        if (*file >= flight.started) {
            flight.names[*file] = flight.hooks->start(*file);
            flight.started = *file + 1;
        }
    } catch (...) {
        Fail(flight);
        return false;
    }
    return true;
}

void FetchPool::RunSlot(Transfer& transfer, Flight& flight) {
    bool worked = false;  // this slot brought a file
    std::unique_lock<std::mutex> lock(flight.mutex);
    bool woken = false;  // closed once, and tried again since
    size_t file = 0;
    while (NextFile(lock, flight, &file)) {
        const Attempts ended = FetchFile(lock, transfer, flight, file);
        if (ended == Attempts::kNarrowed) {
            if (woken) flight.wakeEvery = std::min(flight.wakeEvery * 2, 1u << 20);
            if (!Unparked(lock, flight)) break;
            woken = true;
            continue;
        }
        if (ended != Attempts::kArrived) break;
        worked = true;
    }
    --flight.alive;
    if (worked) ++flight.worked;
    flight.changed.notify_all();
}

// A slot closed because the server took no more connections waits until files have
// arrived since, then tries again, one connection at a time: a server busy for a moment
// (a deploy) gets back every connection it can take, and one that keeps a limit is asked
// past it ever more seldom. False when the download ended meanwhile.
bool FetchPool::Unparked(std::unique_lock<std::mutex>& lock, Flight& flight) {
    --flight.alive;
    ++flight.parked;
    flight.changed.wait(lock, [&flight, this] {
        return flight.wakeups > 0 || flight.failure || m_stop.StopRequested() ||
               flight.finished == flight.states->size() || flight.alive == 0;
    });
    const bool last = flight.alive == 0;  // every other slot has ended
    --flight.parked;
    ++flight.alive;
    if (flight.wakeups > 0) {
        --flight.wakeups;
        return true;
    }
    return last && !flight.failure && !m_stop.StopRequested() && !flight.queue.empty();
}

FetchPool::Attempts FetchPool::FetchFile(std::unique_lock<std::mutex>& lock, Transfer& transfer,
                                         Flight& flight, size_t file) {
    FetchState& state = (*flight.states)[file];
    RetryPolicy policy(m_limits, &flight.retries, &transfer.Meter());
    bool noCache = false;
    for (;;) {
        Enter(flight, file, transfer);
        const uint64_t before = state.kept;
        lock.unlock();
        std::exception_ptr thrown;
        bool cancelled = false;
        try {
            flight.hooks->fetch(transfer, file, state, noCache);
        } catch (const Cancelled&) {
            cancelled = true;
        } catch (...) {
            thrown = std::current_exception();
        }
        lock.lock();
        Leave(flight, file);
        if (cancelled) return Attempts::kEnded;
        if (!thrown) {
            ++flight.finished;
            flight.retries = 0;
            if (flight.parked > flight.wakeups && ++flight.sinceWake >= flight.wakeEvery) {
                ++flight.wakeups;
                flight.sinceWake = 0;
            }
            flight.changed.notify_all();
            return Attempts::kArrived;
        }
        try {
            std::rethrow_exception(thrown);
        } catch (const UpdateFailed& failure) {
            const Retry kind = failure.RetryKind();
            const std::string& name = flight.names[file];
            if ((kind == Retry::Refused || kind == Retry::Busy) && flight.alive > 1 &&
                !m_stop.StopRequested()) {
                // The server takes no more connections than those that work: this
                // one closes, its file goes to another.
                m_log.WriteLine("服务器不接受更多连接，改用%u个连接:%s", flight.alive - 1,
                                failure.Reason().c_str());
                flight.queue.push_front(file);
                transfer.Close();
                return Attempts::kNarrowed;
            }
            if (kind == Retry::Mismatch && !flight.mismatchRetried[file]) {
                // A cache on the way may have kept an older file under this name.
                flight.mismatchRetried[file] = true;
                noCache = true;
                state.Restart();
                m_log.WriteLine("下载的文件与清单不符，不经缓存重新下载%s", name.c_str());
                continue;
            }
            unsigned waitMs = 0;
            if (!policy.TryAgain(failure, state.kept >= before + kProgressBytes, &waitMs) ||
                m_stop.StopRequested()) {
                Fail(flight);
                return Attempts::kEnded;
            }
            LogRetry(m_log, waitMs, name, failure);
            lock.unlock();
            const bool stopped = m_stop.Token().WaitFor(waitMs);
            lock.lock();
            if (stopped) return Attempts::kEnded;
        } catch (...) {
            Fail(flight);
            return Attempts::kEnded;
        }
    }
}
