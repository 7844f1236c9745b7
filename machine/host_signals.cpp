#include "machine/host_signals.h"

#include <atomic>
#include <csignal>
#include <cstdint>

#include <unistd.h>

namespace machine {

namespace {

// Written by the handler, taken by whichever thread asks: lock-free atomics
// are both async-signal-safe and race-free between threads.
std::atomic<int> g_pending{0};
std::atomic<int> g_received{0}; // in this run
std::atomic<int> g_wakeFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

struct CaughtSignal {
    int number;
    struct sigaction replaced;
} g_caught[] = {{SIGINT, {}}, {SIGTERM, {}}, {SIGHUP, {}}};

void OnHostSignal(int signal) {
    if (g_received.fetch_add(1) > 0) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
    g_pending.store(1);
    if (const int fd = g_wakeFd.load(); fd >= 0) {
        const std::uint64_t one = 1;
        const ssize_t ignored = write(fd, &one, sizeof one); // fails only when woken already
        static_cast<void>(ignored);
    }
}

} // namespace

void CatchHostSignals(int wakeFd) {
    g_pending.store(0);
    g_received.store(0);
    g_wakeFd.store(wakeFd);
    struct sigaction action {};
    action.sa_handler = OnHostSignal;
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
}

bool TakeHostSignal() {
    return g_pending.exchange(0) != 0;
}

} // namespace machine
