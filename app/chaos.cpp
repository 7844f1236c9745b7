#include "app/chaos.h"

#include <atomic>
#include <random>

#include <time.h>

#include "machine/schedule.h"

namespace app {

namespace {

std::uint64_t g_seed = 0;
std::atomic<std::uint64_t> g_threads{0};

void Delay(machine::SchedulePoint point, void*) {
    if (point == machine::SchedulePoint::HostSignal) {
        return; // in a signal handler: nothing that is not async-signal-safe
    }
    // Each thread its own generator, from the seed and the order it came in.
    thread_local std::minstd_rand random(static_cast<std::uint32_t>(g_seed * 7919 + ++g_threads));
    if (random() % 8 != 0) {
        return;
    }
    const timespec pause{0, static_cast<long>(random() % 1000000)};
    nanosleep(&pause, nullptr);
}

} // namespace

void StartChaos(std::uint64_t seed) {
    g_seed = seed;
    machine::SetScheduleHook(Delay, nullptr);
}

} // namespace app
