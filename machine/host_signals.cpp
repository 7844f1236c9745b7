#include "machine/host_signals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>

#include <sched.h>
#include <unistd.h>

#include "machine/schedule.h"

namespace machine {

namespace {

// Written by the handler, taken by whichever thread asks: lock-free atomics
// are both async-signal-safe and race-free between threads.
std::atomic<int> g_pending{0};
std::atomic<int> g_received{0}; // in this run
std::atomic<int> g_wakeFd{-1};
std::atomic<int> g_inHandler{0}; // handlers running now, on any thread
static_assert(std::atomic<int>::is_always_lock_free);

struct CaughtSignal {
    int number;
    struct sigaction replaced;
} g_caught[] = {{SIGINT, {}}, {SIGTERM, {}}, {SIGHUP, {}}};

// The count goes up before the descriptor is read, and ReleaseHostSignals
// clears the descriptor before it reads the count: whichever comes first, a
// handler that may still write is waited for.
void OnHostSignal(int signal) {
    const int savedErrno = errno; // the interrupted code may be about to read it
    g_inHandler.fetch_add(1);
    if (g_received.fetch_add(1) > 0) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
    g_pending.store(1);
    if (const int fd = g_wakeFd.load(); fd >= 0) {
        Schedule(SchedulePoint::HostSignal);
        const std::uint64_t one = 1;
        const ssize_t ignored = write(fd, &one, sizeof one); // fails only when woken already
        static_cast<void>(ignored);
    }
    g_inHandler.fetch_sub(1);
    errno = savedErrno;
}

} // namespace

void CatchHostSignals(int wakeFd) {
    g_pending.store(0);
    g_received.store(0);
    g_wakeFd.store(wakeFd);
    struct sigaction action {};
    action.sa_handler = OnHostSignal;
    // A read or write the signal interrupts goes on: an output must not
    // fail with EINTR because the user pressed CTRL-C.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (CaughtSignal& s : g_caught) {
        sigaction(s.number, &action, &s.replaced);
    }
}

void ReleaseHostSignals() {
    for (const CaughtSignal& s : g_caught) {
        sigaction(s.number, &s.replaced, nullptr);
    }
    g_wakeFd.store(-1);
    while (g_inHandler.load() != 0) {
        sched_yield(); // a handler on another thread is between its two steps
    }
}

bool TakeHostSignal() {
    return g_pending.exchange(0) != 0;
}

} // namespace machine
