#include "net/fetch_pool.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <set>
#include <thread>

#include "common/failure.h"
#include "platform/prompter.h"

struct FetchPool::Flight {
    const Hooks* hooks = nullptr;
    size_t count = 0;
    std::mutex mutex;
    size_t next = 0;  // the next file to start; also its ticket
    std::set<size_t> inFlight;
    std::vector<std::string> names;    // what the window shows for each file started
    std::vector<Transfer*> transfers;  // the transfer of each file in flight
    std::atomic<uint64_t> shown{0};
    std::exception_ptr failure;
    std::atomic<size_t> running{0};
};

FetchPool::FetchPool(Transfer& first, unsigned maxTransfers, StopToken stop,
                     ProgressCounters& counters, platform::Prompter& prompter)
    : m_first(first),
      m_maxTransfers(std::max(maxTransfers, 1u)),
      m_stop(stop),
      m_counters(counters),
      m_prompter(prompter) {}

FetchPool::~FetchPool() = default;

void FetchPool::Run(size_t count, const Hooks& hooks) {
    const size_t slots = std::min<size_t>(m_maxTransfers, count);
    if (slots <= 1) {
        // One file after another on the manifest's connection, on this thread.
        for (size_t i = 0; i < count; ++i) {
            if (m_stop.StopRequested()) throw Cancelled();
            m_counters.SetFileName(hooks.start(i));
            try {
                hooks.fetch(m_first, i);
            } catch (const UpdateFailed&) {
                if (hooks.onFailure) hooks.onFailure();
                throw;
            }
        }
        return;
    }

    Flight flight;
    flight.hooks = &hooks;
    flight.count = count;
    flight.names.resize(count);
    flight.transfers.resize(count);
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
    flight.running = transfers.size();
    try {
        for (Transfer* t : transfers) {
            threads.emplace_back([this, t, &flight] {
                RunSlot(*t, flight);
                flight.running.fetch_sub(1);
                m_prompter.Wake();
            });
        }
    } catch (...) {  // no thread could be made: end those that run, then fail
        m_stop.RequestStop();
        flight.running.fetch_sub(transfers.size() - threads.size());
        for (std::thread& thread : threads) thread.join();
        throw UpdateFailed(FailedStep::Download, "无法启动更新线程");
    }
    // This thread asks the transfers' questions until every transfer has ended.
    m_prompter.ServeUntil([&flight] { return flight.running.load() == 0; });
    for (std::thread& thread : threads) thread.join();
    if (flight.failure) std::rethrow_exception(flight.failure);
    if (m_stop.StopRequested()) throw Cancelled();
}

void FetchPool::RunSlot(Transfer& transfer, Flight& flight) {
    const auto leave = [this, &flight](size_t ticket) {
        std::lock_guard<std::mutex> lock(flight.mutex);
        flight.inFlight.erase(ticket);
        if (flight.inFlight.empty()) return;
        const size_t shown = *flight.inFlight.begin();
        if (flight.shown.exchange(shown) == shown) return;
        // The window shows the next file at once, not from its next chunk on.
        m_counters.SetFileName(flight.names[shown]);
        flight.transfers[shown]->Publish();
    };
    const auto fail = [this, &flight] {
        std::lock_guard<std::mutex> lock(flight.mutex);
        if (!flight.failure) {
            flight.failure = std::current_exception();
            if (flight.hooks->onFailure) flight.hooks->onFailure();
        }
        m_stop.RequestStop();
    };
    for (;;) {
        size_t ticket = 0;
        try {
            std::lock_guard<std::mutex> lock(flight.mutex);
            if (m_stop.StopRequested() || flight.next == flight.count) return;
            ticket = flight.next++;
            flight.names[ticket] = flight.hooks->start(ticket);
            flight.transfers[ticket] = &transfer;
            transfer.SetTicket(ticket);
            flight.inFlight.insert(ticket);
            if (*flight.inFlight.begin() == ticket) m_counters.SetFileName(flight.names[ticket]);
            flight.shown = *flight.inFlight.begin();
        } catch (...) {
            fail();
            return;
        }
        try {
            flight.hooks->fetch(transfer, ticket);
        } catch (const Cancelled&) {
            leave(ticket);
            return;
        } catch (...) {
            leave(ticket);
            fail();
            return;
        }
        leave(ticket);
    }
}
