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

std::string FailureReason(const UpdateFailed& failure) {
    const std::string prefix = "下载失败" + failure.File() + ":";
    for (const std::string& line : failure.Lines()) {
        if (line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
    }
    return failure.Lines().empty() ? std::string() : failure.Lines().back();
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
    unsigned worked = 0;   // slots that brought a file
    unsigned retries = 0;  // retries without progress, in all
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

void FetchPool::RunSlot(Transfer& transfer, Flight& flight) {
    const Hooks& hooks = *flight.hooks;
    bool worked = false;  // this slot brought a file
    const auto leave = [this, &flight](size_t file) {
        flight.inFlight.erase(file);
        if (flight.inFlight.empty()) return;
        const size_t shown = *flight.inFlight.begin();
        if (flight.shown.exchange(shown) == shown) return;
        // The window shows the next file at once, not from its next chunk on.
        m_counters.SetFileName(flight.names[shown]);
        flight.transfers[shown]->Publish();
    };
    // Ends the whole download with the failure being handled (caller holds the lock).
    const auto fail = [this, &flight, &hooks] {
        if (!flight.failure) {
            flight.failure = std::current_exception();
            if (hooks.onFailure) hooks.onFailure();
        }
        m_stop.RequestStop();
        flight.changed.notify_all();
    };
    const auto retire = [&flight, &worked] {
        --flight.alive;
        if (worked) ++flight.worked;
        flight.changed.notify_all();
    };

    std::unique_lock<std::mutex> lock(flight.mutex);
    for (;;) {
        // The next file, or the end: nothing left, a failure, a stop.
        flight.changed.wait(lock, [&flight, this] {
            return !flight.queue.empty() || flight.failure || m_stop.StopRequested() ||
                   flight.finished == flight.states->size();
        });
        if (flight.queue.empty() || flight.failure || m_stop.StopRequested()) {
            retire();
            return;
        }
        const size_t file = flight.queue.front();
        flight.queue.pop_front();
        try {
            if (file >= flight.started) {
                flight.names[file] = hooks.start(file);
                flight.started = file + 1;
            }
        } catch (...) {
            fail();
            retire();
            return;
        }
        FetchState& state = (*flight.states)[file];
        unsigned failures = 0;  // this file's attempts in a row without progress
        bool noCache = false;
        for (;;) {
            flight.transfers[file] = &transfer;
            transfer.SetTicket(file);
            flight.inFlight.insert(file);
            if (*flight.inFlight.begin() == file) m_counters.SetFileName(flight.names[file]);
            flight.shown = *flight.inFlight.begin();
            const uint64_t before = state.kept;
            lock.unlock();
            std::exception_ptr thrown;
            bool cancelled = false;
            try {
                hooks.fetch(transfer, file, state, noCache);
            } catch (const Cancelled&) {
                cancelled = true;
            } catch (...) {
                thrown = std::current_exception();
            }
            lock.lock();
            leave(file);
            if (cancelled) {
                retire();
                return;
            }
            if (!thrown) {
                worked = true;
                ++flight.finished;
                flight.changed.notify_all();
                break;
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
                                    FailureReason(failure).c_str());
                    flight.queue.push_front(file);
                    transfer.Close();
                    retire();
                    return;
                }
                if (kind == Retry::Mismatch && !flight.mismatchRetried[file]) {
                    // A cache on the way may have kept an older file under this name.
                    flight.mismatchRetried[file] = true;
                    noCache = true;
                    state.Restart();
                    m_log.WriteLine("下载的文件与清单不符，不经缓存重新下载%s", name.c_str());
                    continue;
                }
                const bool transient =
                    kind == Retry::Transient || kind == Retry::Busy || kind == Retry::Refused;
                if (state.kept >= before + kProgressBytes) {
                    failures = 0;
                } else {
                    ++failures;
                    ++flight.retries;
                }
                if (!transient || failures >= m_limits.attemptsWithoutProgress ||
                    flight.retries > m_limits.retriesInAll || m_stop.StopRequested()) {
                    fail();
                    retire();
                    return;
                }
                const unsigned waitMs = RetryWaitMs(m_limits, failures, failure);
                m_log.WriteLine("下载中断，%u秒后重试%s:%s", (waitMs + 999) / 1000, name.c_str(),
                                FailureReason(failure).c_str());
                lock.unlock();
                const bool stopped = m_stop.Token().WaitFor(waitMs);
                lock.lock();
                if (stopped) {
                    retire();
                    return;
                }
            } catch (...) {
                fail();
                retire();
                return;
            }
        }
    }
}
