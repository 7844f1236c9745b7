#include "machine/schedule.h"

#include <atomic>

namespace machine {

namespace {

// Lock-free, so that a signal handler may read them.
std::atomic<ScheduleHook> g_hook{nullptr};
std::atomic<void*> g_data{nullptr};
static_assert(std::atomic<ScheduleHook>::is_always_lock_free);

} // namespace

void SetScheduleHook(ScheduleHook hook, void* data) {
    g_data.store(data);
    g_hook.store(hook);
}

void Schedule(SchedulePoint point) {
    if (const ScheduleHook hook = g_hook.load(std::memory_order_acquire); hook != nullptr) {
        hook(point, g_data.load());
    }
}

const char* SchedulePointName(SchedulePoint point) {
    switch (point) {
    case SchedulePoint::Published:
        return "published";
    case SchedulePoint::RunnerTaken:
        return "runner-taken";
    case SchedulePoint::RunnerReleased:
        return "runner-released";
    case SchedulePoint::ServersUnlocked:
        return "servers-unlocked";
    case SchedulePoint::SinksUnlocked:
        return "sinks-unlocked";
    case SchedulePoint::SleepUnlocked:
        return "sleep-unlocked";
    case SchedulePoint::HostReadUnlocked:
        return "host-read-unlocked";
    case SchedulePoint::SinkWrite:
        return "sink-write";
    case SchedulePoint::HangCheck:
        return "hang-check";
    case SchedulePoint::HostSignal:
        return "host-signal";
    }
    return "";
}

} // namespace machine
