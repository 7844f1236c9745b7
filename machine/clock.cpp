// Machine time, and who runs the devices by it.
//
// The devices' work is a stream of events in machine time: the channel's frame
// fetches and block ends (with the interrupt servers they call), a scripted
// CTRL-C, and feeding the sinks. RunDueEvents runs them in time order, each at
// its own machine time: while a thread runs an event, NowNs on that thread is
// the event's time, so what an interrupt server does (its trace, the
// acknowledgement that lets the channel go on) happens at the block end that
// raised its interrupt, however late the host woke. That is what the hardware
// does: the FIFO between the SGD engine and the AC-link hides the interrupt's
// latency, and the DAC's frame clock never stops while the server keeps up. An
// acknowledgement from anywhere else (the task) continues the channel at the
// moment it is made.
//
// Who runs the devices (Machine::runner):
// - Virtual clock: only the main task's thread, inside its sleeps (SleepFor,
//   SleepForSignals). Time moves only there, from event to event; no other
//   thread exists.
// - Real clock: one thread at a time, never two.
//   - Runner::Task: the main task's thread while the task sleeps. It takes the
//     devices when nobody has them, runs what is due and sleeps until the next
//     event with the lock released, as an idle processor takes an interrupt: a
//     block end costs one wake-up. Leaving the sleep, it hands them back and
//     makes sure the hardware thread's alarm rings some time after the next
//     event (ArmWatchdog), in case the task does not come back to sleep by
//     then; an alarm that rings while the task runs the devices finds them
//     taken and does nothing.
//   - Runner::Hardware: the hardware thread, while the task works. It sleeps
//     in poll() on its alarm (a timerfd) and its wake-up (an eventfd: a stop or
//     a host signal); woken, it runs what is due if nobody else does, then sets
//     the alarm again. A task that wants to sleep meanwhile waits on taskWake
//     until the hardware thread is done, then takes over.
//   - Runner::Nobody: the task works and the hardware thread sleeps. Whatever
//     moves the channel's next event then sets the alarm (KickHardware); frames
//     that the task's own calls depend on are fetched lazily (CatchUp).
//
// The lock (Machine::lock) guards every field of the machine, and is dropped
// only in these places:
// - around the interrupt servers (CallServers): they call Signal and the
//   register functions, which take it. `dispatching` tells RemPciIntServer to
//   wait; the list being called (dispatchList) is written and read only by the
//   runner.
// - around the sinks (FeedSinks): a host device that blocks must stall no
//   platform call. The queues being written (dacFeeding, spdifFeeding) belong
//   to the runner meanwhile, and to Run once the clock has stopped.
// - while the runner sleeps: the task in clock_nanosleep, the hardware thread
//   in poll(). Nobody else runs the devices then, and the task's other callers
//   (a progress display) only read under the lock.
// Fields never guarded by the lock: the per-thread interrupt and event time
// below, and the host-signal atomics (host_signals.cpp).
//
// Lock order: run.cpp's g_running before Machine::lock (Progress). Sinks are
// called without the lock, so they may ask for Progress.
#include "machine/clock.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "hw/vt8231.h"
#include "machine/audio_out.h"
#include "machine/host_signals.h"
#include "machine/state.h"
#include "machine/trace.h"

namespace machine {

namespace {

thread_local bool t_interrupt = false;
// The machine time of the device event this thread is running; kNever when
// it runs none.
thread_local std::uint64_t t_eventNs = kNever;

// Marks the calling thread as running in interrupt context for a scope.
class InterruptContext {
public:
    InterruptContext() : saved_(t_interrupt) { t_interrupt = true; }
    ~InterruptContext() { t_interrupt = saved_; }
    InterruptContext(const InterruptContext&) = delete;
    InterruptContext& operator=(const InterruptContext&) = delete;

private:
    bool saved_;
};

// The calling thread runs a device event: machine time is the event's time.
class AtEventTime {
public:
    explicit AtEventTime(std::uint64_t ns) : saved_(t_eventNs) { t_eventNs = ns; }
    ~AtEventTime() { t_eventNs = saved_; }
    AtEventTime(const AtEventTime&) = delete;
    AtEventTime& operator=(const AtEventTime&) = delete;

private:
    std::uint64_t saved_;
};

bool Virtual(const Machine& m) {
    return m.config.clock == ClockKind::Virtual;
}

// On the real clock a sleeping task looks for a host signal at least every
// kPoll (the hardware thread is woken for one); the sinks are fed at least
// every kFeedPeriod (wall time) while the channel plays.
constexpr auto kPoll = std::chrono::milliseconds(100);
constexpr auto kFeedPeriod = std::chrono::milliseconds(50);
// The least time the hardware thread leaves a task that has left its sleep.
constexpr auto kBehindGrace = std::chrono::milliseconds(1);

double Speed(const Machine& m) {
    return m.config.speed > 0 ? m.config.speed : 1.0;
}

void PollHostBreak(Machine& m) {
    if (m.config.hostSigint && TakeHostSignal()) {
        DeliverBreak(m);
    }
}

std::uint64_t NextEventNs(const Machine& m) {
    return std::min(m.channel.nextTickNs, m.breakAtNs);
}

bool ScriptedBreakPending(const Machine& m) {
    return m.breakAtNs != kNever || (m.breakAfterBlocksPending && ChannelRunning(m));
}

// Whether anything but the main task itself can still set one of its signals.
bool CanWake(const Machine& m) {
    if (m.dispatching || ScriptedBreakPending(m)) {
        return true;
    }
    return ChannelRunning(m) && !m.servers.empty() &&
           (m.channel.type & (vt8231::kTypeIntFlag | vt8231::kTypeIntEol)) != 0;
}

[[noreturn]] void Hang(Machine& m, const std::string& why) {
    Violation(m, "hang: " + why);
    m.result.hung = true;
    throw RunEnded{};
}

// A Wait that began at machine time startNs and that nothing can end, or that
// nothing has ended for the hang timeout, ends the run.
void CheckHang(Machine& m, std::uint64_t startNs) {
    if (!CanWake(m)) {
        // The channel plays on without anyone to wake: it runs to where it
        // stops or holds, as the hardware would. Then only a user can end it.
        const bool playing = NextEventNs(m) != kNever;
        if (!playing && !(m.config.hostSigint && m.config.userAtTerminal)) {
            Hang(m, "Wait with nothing that can wake the task");
        }
    } else if (!ScriptedBreakPending(m) && NowNs(m) - startNs > m.config.hangTimeoutUs * 1000) {
        Hang(m, "no wake-up in " + std::to_string(m.config.hangTimeoutUs / 1000000) +
                    " s of machine time");
    }
}

// The interrupt line is raised: every installed server runs, in the order of
// installation, without the machine locked.
void CallServers(Machine& m, std::unique_lock<std::mutex>& lock) {
    std::vector<PciIntServerFunc>& servers = m.dispatchList; // kept, not allocated per interrupt
    servers.clear();
    for (const auto& entry : m.servers) {
        servers.push_back(entry->server);
    }
    m.dispatching = true;
    const std::uint8_t raised = m.channel.status;
    lock.unlock();
    for (PciIntServerFunc server : servers) {
        server();
    }
    lock.lock();
    m.dispatching = false;
    Trace(m, "irq_done",
          {{"acked", raised & ~m.channel.status & (vt8231::kStatusFlag | vt8231::kStatusEol)}});
    // A task removing a server waits for this; one still waiting for signals
    // may now have nothing left that can wake it.
    m.taskWake.notify_all();
}

// Runs, in time order and each at its own machine time, every device event
// due at or before dueNs; or, for a task waiting for a signal of wakeMask,
// those up to the one that sends it. So a host that woke the task late does
// not also run the next block end before the task has refilled its buffer:
// the task catches up a block at a time, as if it had woken on time.
void RunDueEvents(Machine& m, std::unique_lock<std::mutex>& lock, std::uint64_t dueNs,
                  std::uint32_t wakeMask = 0) {
    InterruptContext context;
    for (;;) {
        const std::uint64_t next = NextEventNs(m);
        if (next == kNever || next > dueNs || (m.mainTask.receivedSignals & wakeMask) != 0) {
            return;
        }
        AtEventTime at(next);
        if (Virtual(m)) {
            m.nowNs = std::max(m.nowNs, next);
        }
        if (m.breakAtNs <= m.channel.nextTickNs) {
            m.breakAtNs = kNever;
            DeliverBreak(m);
            continue;
        }
        if (ChannelTick(m, dueNs)) {
            CallServers(m, lock);
        }
        if (SinksHungry(m)) {
            FeedSinks(m, lock);
        }
        if (m.breakAfterBlocksPending &&
            m.result.report.blocks >= static_cast<std::uint64_t>(m.config.breakAfterBlocks)) {
            m.breakAfterBlocksPending = false;
            DeliverBreak(m);
        }
    }
}

using WallTime = std::chrono::steady_clock::time_point;
constexpr WallTime kNeverWall = WallTime::max();

// When the devices next need a thread on the real clock: the channel's next
// block end or a scripted break, and every kFeedPeriod while sinks play.
WallTime DevicesDueAt(Machine& m) {
    const bool sinks = m.config.dacSink != nullptr || m.config.spdifSink != nullptr;
    WallTime at =
        sinks && ChannelRunning(m) ? std::chrono::steady_clock::now() + kFeedPeriod : kNeverWall;
    const std::uint64_t next = std::min(BlockEndNs(m), m.breakAtNs);
    if (next != kNever) {
        // Rounded up, so that the machine time on waking has reached `next`.
        const auto wallNs =
            static_cast<std::int64_t>(std::ceil(static_cast<double>(next) / Speed(m)));
        at = std::min(at, m.wallStart + std::chrono::nanoseconds(wallNs));
    }
    return at;
}

// One round of the devices on the real clock: what is due by now runs (up to
// a signal of wakeMask), and the sinks get what is queued.
void ServeDevices(Machine& m, std::unique_lock<std::mutex>& lock, std::uint32_t wakeMask) {
    PollHostBreak(m);
    RunDueEvents(m, lock, NowNs(m), wakeMask);
    FeedSinks(m, lock);
}

// steady_clock is CLOCK_MONOTONIC, which the kernel's timers take as a timespec.
timespec MonotonicTimespec(WallTime at) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch());
    return timespec{static_cast<time_t>(ns.count() / 1000000000),
                    static_cast<long>(ns.count() % 1000000000)};
}

// The hardware thread's alarm, a timer the task can set or clear without
// waking the thread.
void SetAlarm(Machine& m, WallTime at) {
    m.alarmAt = at;
    itimerspec spec{}; // all zero disarms it; a real time is never zero
    if (at != kNeverWall) {
        spec.it_value = MonotonicTimespec(at);
    }
    timerfd_settime(m.alarmFd, TFD_TIMER_ABSTIME, &spec, nullptr);
}

// The main task asleep on the real clock, running the devices whenever the
// hardware thread does not.
class SleepingTask {
public:
    // wakeMask: the signals the task waits for, if any.
    SleepingTask(Machine& m, std::unique_lock<std::mutex>& lock, std::uint32_t wakeMask)
        : m_(m), lock_(lock), wakeMask_(wakeMask) {
        if (m.config.report) {
            cpuStart_ = ThreadCpuNs();
        }
    }
    ~SleepingTask() {
        if (m_.runner == Runner::Task) {
            m_.runner = Runner::Nobody;
            ArmWatchdog();
        }
        if (cpuStart_) {
            m_.sleepCpuNs += ThreadCpuNs() - *cpuStart_;
        }
    }
    SleepingTask(const SleepingTask&) = delete;
    SleepingTask& operator=(const SleepingTask&) = delete;

    // Runs what is due unless the hardware thread is at it; returns when to
    // look again.
    WallTime Serve() {
        if (m_.runner == Runner::Nobody) {
            m_.runner = Runner::Task; // an alarm that rings meanwhile finds it so
        }
        if (m_.runner != Runner::Task) {
            return std::chrono::steady_clock::now() + kPoll; // woken when it is done
        }
        ServeDevices(m_, lock_, wakeMask_);
        return std::min(DevicesDueAt(m_), std::chrono::steady_clock::now() + kPoll);
    }

    // Sleeps until `at`. Running the devices, the task is the only thread that
    // could want it sooner, so it sleeps unlocked, off the condition variable.
    void Sleep(WallTime at) {
        if (m_.runner != Runner::Task) {
            m_.taskWake.wait_until(lock_, at);
            return;
        }
        const timespec until = MonotonicTimespec(at);
        lock_.unlock();
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
        lock_.lock();
    }

private:
    // Leaving its sleep, the task may not come back in time: the hardware
    // thread's alarm then steps in. Not before half as late again as the next
    // event, so that a task back asleep by then takes the event itself and the
    // hardware thread is not woken for nothing; and set again only when it
    // would ring sooner than that or much later, so a timer call every few
    // blocks. Events run at their own machine time: one the hardware thread
    // runs late for a busy task still keeps the codec's pace.
    // A task that is behind (the event is due already) gets a little time too:
    // it catches up a block at a time, refilling as it goes, where the
    // hardware thread would run every late block end at once.
    void ArmWatchdog() {
        const WallTime now = std::chrono::steady_clock::now();
        WallTime due = DevicesDueAt(m_);
        if (due == kNeverWall) {
            SetAlarm(m_, due);
            return;
        }
        due = std::max(due, now);
        const auto ahead = std::max<std::chrono::steady_clock::duration>(due - now, kBehindGrace);
        if (m_.alarmAt < due + ahead / 2 || m_.alarmAt > due + 4 * ahead) {
            SetAlarm(m_, due + 3 * ahead);
        }
    }

    Machine& m_;
    std::unique_lock<std::mutex>& lock_;
    std::uint32_t wakeMask_;
    std::optional<std::uint64_t> cpuStart_; // with Config::report
};

void HardwareMain(Machine& m) {
    t_interrupt = true;
    std::unique_lock<std::mutex> lock(m.lock, std::defer_lock);
    for (;;) {
        pollfd fds[2] = {{m.alarmFd, POLLIN, 0}, {m.wakeFd, POLLIN, 0}};
        poll(fds, 2, -1);
        // Only the ringing matters: each read empties one that rang, and
        // fails on one that did not.
        for (const pollfd& fd : fds) {
            std::uint64_t count = 0;
            const ssize_t ignored = read(fd.fd, &count, sizeof count);
            static_cast<void>(ignored);
        }
        lock.lock();
        if (m.stopHardware) {
            return;
        }
        if (m.runner == Runner::Nobody) {
            m.runner = Runner::Hardware;
            ServeDevices(m, lock, 0);
            m.runner = Runner::Nobody;
            m.taskWake.notify_all(); // a task that began to sleep meanwhile takes over
            SetAlarm(m, DevicesDueAt(m));
        }
        lock.unlock();
    }
}

// The virtual clock's Wait: events run one time at a time until a signal of
// the mask arrives.
void VirtualWait(Machine& m, std::unique_lock<std::mutex>& lock, std::uint32_t mask) {
    const std::uint64_t start = m.nowNs;
    for (;;) {
        PollHostBreak(m);
        if ((m.mainTask.receivedSignals & mask) != 0) {
            return;
        }
        CheckHang(m, start);
        if (const std::uint64_t next = NextEventNs(m); next != kNever) {
            RunDueEvents(m, lock, next);
        } else {
            m.taskWake.wait_for(lock, kPoll); // the user at the terminal
        }
    }
}

// The real clock's Wait.
void RealWait(Machine& m, std::unique_lock<std::mutex>& lock, std::uint32_t mask) {
    const std::uint64_t start = NowNs(m);
    SleepingTask task(m, lock, mask);
    for (;;) {
        const WallTime again = task.Serve();
        if ((m.mainTask.receivedSignals & mask) != 0) {
            return;
        }
        CheckHang(m, start);
        task.Sleep(again);
    }
}

} // namespace

std::uint64_t ThreadCpuNs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

std::uint64_t NowNs(Machine& m) {
    if (t_eventNs != kNever) {
        return t_eventNs;
    }
    if (!Virtual(m)) {
        const auto wall = std::chrono::steady_clock::now() - m.wallStart;
        const double ns =
            static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(wall).count());
        m.nowNs = std::max(m.nowNs, static_cast<std::uint64_t>(ns * Speed(m)));
    }
    return m.nowNs;
}

bool InInterrupt() {
    return t_interrupt;
}

void CheckTaskContext(Machine& m, const char* call) {
    if (t_interrupt) {
        Violation(m, std::string(call) + " called in interrupt context");
    }
}

void SleepFor(Machine& m, std::unique_lock<std::mutex>& lock, std::uint64_t ns) {
    if (Virtual(m)) {
        const std::uint64_t until = m.nowNs + ns;
        RunDueEvents(m, lock, until);
        m.nowNs = std::max(m.nowNs, until);
        return;
    }
    const WallTime deadline =
        std::chrono::steady_clock::now() +
        std::chrono::nanoseconds(static_cast<std::int64_t>(static_cast<double>(ns) / Speed(m)));
    SleepingTask task(m, lock, 0);
    while (std::chrono::steady_clock::now() < deadline) {
        task.Sleep(std::min(deadline, task.Serve()));
    }
}

std::uint32_t SleepForSignals(Machine& m, std::unique_lock<std::mutex>& lock, std::uint32_t mask) {
    if (Virtual(m)) {
        VirtualWait(m, lock, mask);
    } else {
        RealWait(m, lock, mask);
    }
    const std::uint32_t arrived = m.mainTask.receivedSignals & mask;
    m.mainTask.receivedSignals &= ~mask;
    return arrived;
}

void CatchUp(Machine& m) {
    if (!Virtual(m)) {
        FetchDueFrames(m, NowNs(m));
    }
}

void KickHardware(Machine& m) {
    if (!Virtual(m) && m.runner == Runner::Nobody) {
        SetAlarm(m, DevicesDueAt(m));
    }
}

void DeliverBreak(Machine& m) {
    m.mainTask.receivedSignals |= SIGBREAKF_CTRL_C;
    Trace(m, "break");
    m.taskWake.notify_all();
}

void StartClock(Machine& m) {
    m.wallStart = std::chrono::steady_clock::now();
    if (!Virtual(m)) {
        m.alarmFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        m.wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (m.alarmFd < 0 || m.wakeFd < 0) {
            std::perror("machine: the hardware thread's timer");
            std::abort();
        }
    }
    if (m.config.hostSigint) {
        CatchHostSignals(m.wakeFd);
    }
    if (m.config.breakAtUs == 0) {
        DeliverBreak(m);
    } else if (m.config.breakAtUs > 0) {
        m.breakAtNs = static_cast<std::uint64_t>(m.config.breakAtUs) * 1000;
    }
    if (m.config.breakAfterBlocks == 0) {
        DeliverBreak(m);
    }
    m.breakAfterBlocksPending = m.config.breakAfterBlocks > 0;
    if (!Virtual(m)) {
        // The thread acts only when its alarm rings or it is woken.
        SetAlarm(m, DevicesDueAt(m));
        m.hardware = std::thread(HardwareMain, std::ref(m));
    }
}

void StopClock(Machine& m) {
    // The handlers go first, so that none writes to a descriptor closed below.
    if (m.config.hostSigint) {
        ReleaseHostSignals();
    }
    if (m.hardware.joinable()) {
        {
            std::lock_guard<std::mutex> guard(m.lock);
            m.stopHardware = true;
        }
        const std::uint64_t one = 1;
        if (write(m.wakeFd, &one, sizeof one) < 0) {
            std::abort(); // the thread could not be stopped
        }
        m.hardware.join();
        close(m.alarmFd);
        close(m.wakeFd);
    }
}

} // namespace machine
