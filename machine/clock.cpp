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
// latency, and the DAC's frame clock never stops while the server keeps up.
//
// What the main task does happens at the moment it does it: each platform
// call first runs every event due by now (UpToDate), so a Read lands after a
// block that started before it, whichever thread was late, and the channel
// plays what the buffer held then. A late host therefore shows as overruns,
// never as a refill on time.
//
// The time itself. Virtual: it moves only in the task's sleeps, from event to
// event. Real: wall time since the start, times the speed; at speed 1 with a
// live sound device (Config::deviceClock), it is steered to keep a constant
// lead over the frame that device is playing (Pace), so the codec runs at the
// device's rate and a device that stalls stops the machine rather than
// filling up. A host that cannot run the devices as fast as the speed asks
// has the clock held back (HoldBack), so that a run always ends.
//
// Who runs the devices (Machine::runner) on the real clock, one thread at a
// time, never two; on the virtual clock only the task's thread, in its sleeps:
// - Runner::Task: the main task's thread, while it sleeps (it sleeps until the
//   next event with the lock released, as an idle processor takes an
//   interrupt) or inside UpToDate. Handing the devices back, it makes sure the
//   hardware thread's alarm rings some time after the next event
//   (ArmWatchdog), in case the task does not come back by then.
// - Runner::Hardware: the hardware thread, while the task works. It sleeps in
//   poll() on its alarm (a timerfd) and its wake-up (an eventfd: a stop or a
//   host signal); woken, it runs what is due if nobody else does, then sets
//   the alarm again.
// - Runner::Nobody: the task works and the hardware thread sleeps.
//
// The protocol. `lock` is Machine::lock; "runner" is whichever thread holds
// Machine::runner.
//
// | shared field                      | written by                  | guarded by           |
// |-----------------------------------|-----------------------------|----------------------|
// | every field of Machine not below  | any thread                  | lock                 |
// | runner                            | task, hardware thread       | lock                 |
// | channel, codec, slack, played,    | runner, or the task in a    | lock                 |
// |   dacQueue, spdifQueue            |   platform call             |                      |
// | dispatchList                      | runner                      | `dispatching`        |
// | dacFeeding, spdifFeeding          | runner; Run after StopClock | the feeding runner   |
// | staging                           | task (dos Read)             | the task             |
// | alarmFd's setting                 | task, hardware thread       | lock                 |
// | t_eventNs, t_callNs, t_interrupt  | their own thread            | thread-local         |
// | host-signal atomics               | handlers, any thread        | atomics              |
// | Config::deviceClock's position    | the device's own thread     | its own atomics      |
//
// Where the lock is dropped, and what keeps the rest consistent meanwhile:
// - around the interrupt servers (CallServers): they call Signal and the
//   register functions, which take it. `dispatching` tells RemPciIntServer
//   to wait.
// - around the sinks (FeedSinks): a file that blocks must stall no platform
//   call. Live devices take their chunks into a queue of their own and never
//   block.
// - while a runner sleeps: the task in clock_nanosleep, the hardware thread
//   in poll(). The task sleeps so only as the runner; otherwise it waits on
//   taskWake (a condition variable, which drops the lock too) for the runner
//   to finish.
// - while RemPciIntServer waits on taskWake for a dispatch to end.
// - in dos Read, around the host's read of a file that is not a regular file
//   (a pipe may make it wait): the task has handed the devices over
//   (HandOverDevices) and its data lands only once it holds the lock again.
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

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "machine/audio_out.h"
#include "machine/dispatch.h"
#include "machine/hang.h"
#include "machine/host_signals.h"
#include "machine/schedule.h"
#include "machine/state.h"
#include "machine/timeline.h"
#include "machine/trace.h"

namespace machine {

namespace {

// The machine time of the device event this thread is running; kNever when
// it runs none.
thread_local std::uint64_t t_eventNs = kNever;
// The moment of the platform call the main task is in, on the real clock:
// the devices have run every event due by it (UpToDate). kNever outside a
// call, and while the call sleeps.
thread_local std::uint64_t t_callNs = kNever;

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

using std::chrono::steady_clock;
constexpr WallTime kNeverWall = WallTime::max();

bool Virtual(const Machine& m) {
    return m.config.clock == ClockKind::Virtual;
}

// On the real clock a sleeping task looks for a host signal at least every
// kPoll (the hardware thread is woken for one). The sinks are fed at most
// every kFeedPeriod (wall time), when the devices run anyway (at a block
// end), and at least every kFeedLatest while the channel plays: a feed wakes
// a live device's thread, and a block end comes sooner at any usual rate.
constexpr auto kPoll = std::chrono::milliseconds(100);
constexpr auto kFeedPeriod = std::chrono::milliseconds(200);
constexpr auto kFeedLatest = std::chrono::milliseconds(250);
// The least time the hardware thread leaves a task that has left its sleep.
constexpr auto kBehindGrace = std::chrono::milliseconds(1);

// Pacing by a live device: the machine keeps kLeadNs of machine time ahead of
// the frame the device plays (the longest wait for a feed, and enough for the
// device's own buffer never to run dry); kSteerNs beyond that it stops, and
// kLeadNs short of it it runs at kMaxSlope. The slope is set again every
// kRepace.
constexpr double kLeadNs = 350e6;
constexpr double kSteerNs = 100e6;
constexpr double kMaxSlope = 1.1;
constexpr auto kRepace = std::chrono::milliseconds(20);
// A device event run this much machine time after it was due is told once:
// the host cannot keep the speed.
constexpr std::uint64_t kLateToldNs = 32'000'000;
// The devices never end a round further behind than this: see HoldBack.
constexpr std::uint64_t kMaxBehindNs = 1'000'000'000;

double Speed(const Machine& m) {
    return m.config.speed > 0 ? m.config.speed : 1.0;
}

// A wall-time span as machine time at `factor` machine ns per wall ns.
std::uint64_t Scaled(steady_clock::duration span, double factor) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(span).count();
    const double scaled = static_cast<double>(std::max<std::int64_t>(ns, 0)) * factor;
    return scaled >= static_cast<double>(kMaxMachineNs) ? kMaxMachineNs
                                                        : static_cast<std::uint64_t>(scaled);
}

// Wall time `machineNs` of machine time after `from` at `slope`, rounded up
// so that the machine time on waking has reached it; kNeverWall when that is
// beyond any wall time the host can sleep until.
WallTime After(WallTime from, double machineNs, double slope) {
    const double wallNs = std::ceil(machineNs / slope);
    const double room = static_cast<double>((kNeverWall - from).count()) / 2;
    return wallNs >= room ? kNeverWall
                          : from + std::chrono::nanoseconds(static_cast<std::int64_t>(wallNs));
}

// The slope that keeps the machine kLeadNs ahead of what the device plays.
// A device that does not say where it is (it has taken all it was given and
// holds none of it) sets no pace: wall time does.
double PaceSlope(Machine& m, std::uint64_t ns) {
    const std::uint64_t playing = m.config.deviceClock->PlayingNs();
    if (playing == kNever) {
        m.pace.limitNs = kNever;
        return 1.0;
    }
    // However long until the slope is set again (a host that does not come
    // back for a while), the machine goes no further than where it stops.
    m.pace.limitNs = playing + static_cast<std::uint64_t>(kLeadNs + kSteerNs);
    const double beyond = static_cast<double>(ns) - static_cast<double>(playing) - kLeadNs;
    return std::clamp(1.0 - beyond / kSteerNs, 0.0, kMaxSlope);
}

// Machine time at wall time `wall` on the real clock.
std::uint64_t RealNs(Machine& m, WallTime wall) {
    Pace& p = m.pace;
    if (!p.on) {
        return Scaled(wall - m.wallStart, Speed(m));
    }
    if (wall - p.wall >= kRepace) {
        p.ns = std::max(p.ns, std::min(p.ns + Scaled(wall - p.wall, p.slope), p.limitNs));
        p.wall = wall;
        p.slope = PaceSlope(m, p.ns);
    }
    return std::max(p.ns, std::min(p.ns + Scaled(wall - p.wall, p.slope), p.limitNs));
}

// The wall time at which the real clock reaches machine time `ns`: exact
// unpaced; paced, a forecast at the present slope, which a runner waking
// early or late corrects by looking again.
WallTime WallAt(const Machine& m, std::uint64_t ns) {
    if (ns >= kMaxMachineNs) {
        return kNeverWall;
    }
    const Pace& p = m.pace;
    if (!p.on) {
        return After(m.wallStart, static_cast<double>(ns), Speed(m));
    }
    if (p.slope <= 0) {
        return steady_clock::now() + kRepace; // stopped: look again
    }
    return After(p.wall, std::max(0.0, static_cast<double>(ns) - static_cast<double>(p.ns)),
                 p.slope);
}

void PollHostBreak(Machine& m) {
    if (m.config.hostSigint && TakeHostSignal()) {
        DeliverBreak(m);
    }
}

// A block end or a break due at `due` runs now: on the real clock, how late
// the host is, told once when it is more than a block's worth.
void NoteLateness(Machine& m, std::uint64_t due) {
    if (Virtual(m)) {
        return;
    }
    const std::uint64_t now = RealNs(m, steady_clock::now());
    const std::uint64_t late = now > due ? now - due : 0;
    if (late > kLateToldNs && !m.lateTold && m.config.hostNote) {
        m.lateTold = true;
        char speed[32];
        std::snprintf(speed, sizeof speed, "%g", Speed(m));
        m.config.hostNote(std::string("the host cannot keep speed ") + speed +
                          ": a device event ran " +
                          Milliseconds(static_cast<std::int64_t>(late / 1000)) +
                          " ms of machine time late, and overruns may follow");
    }
}

// The devices have run every event due by dueNs. On a host too slow for the
// speed, running them took more wall time than the machine time they covered,
// so each round would start further behind than the one before and the run
// would never end. Past kMaxBehindNs the clock is held back instead: the
// machine pauses while its host catches up, as a machine's clock does when
// its emulator cannot run it. A task that is late by its own doing still has
// every event due by its call run first, each overrun counted as it was.
void HoldBack(Machine& m, std::uint64_t dueNs) {
    const WallTime wall = steady_clock::now();
    const std::uint64_t real = RealNs(m, wall);
    const std::uint64_t floor = std::max(m.nowNs, dueNs + kMaxBehindNs);
    if (real <= floor) {
        return;
    }
    if (m.pace.on) {
        m.pace.wall = wall;
        m.pace.ns = floor;
    } else {
        m.wallStart = wall - std::chrono::nanoseconds(static_cast<std::int64_t>(
                                 std::ceil(static_cast<double>(floor) / Speed(m))));
    }
    m.result.report.hostHeldUs += (real - floor) / 1000;
}

// Runs, in time order and each at its own machine time, every device event
// due at or before dueNs; or, for a task waiting for a signal of wakeMask,
// those up to the one that sends it, so that it gets on with its refill as
// soon as it may.
void RunDueEvents(Machine& m, std::unique_lock<std::mutex>& lock, std::uint64_t dueNs,
                  std::uint32_t wakeMask = 0) {
    InterruptContext context;
    for (;;) {
        const std::uint64_t next = NextEventNs(m);
        if (next == kNever || next > dueNs) {
            m.ranToNs = std::max(m.ranToNs, dueNs);
            if (!Virtual(m) && m.clockStarted) {
                HoldBack(m, dueNs);
            }
            return;
        }
        if ((m.mainTask.receivedSignals & wakeMask) != 0) {
            return;
        }
        AtEventTime at(next);
        m.ranToNs = std::max(m.ranToNs, next);
        if (Virtual(m)) {
            m.nowNs = std::max(m.nowNs, next);
        }
        if (next == BlockEndNs(m) || next == m.breakAtNs) {
            NoteLateness(m, next); // frames are fetched lazily: only these are due on time
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

// When the devices next need a thread on the real clock: the channel's next
// block end or a scripted break, and every kFeedPeriod while sinks play.
WallTime DevicesDueAt(Machine& m) {
    const bool sinks = m.config.dacSink != nullptr || m.config.spdifSink != nullptr;
    const WallTime feed = sinks && ChannelRunning(m) ? m.fedAt + kFeedLatest : kNeverWall;
    return std::min(feed, WallAt(m, std::min(BlockEndNs(m), m.breakAtNs)));
}

// One round of the devices on the real clock: what is due by now runs (up to
// a signal of wakeMask), and the sinks get what is queued.
void ServeDevices(Machine& m, std::unique_lock<std::mutex>& lock, std::uint32_t wakeMask) {
    PollHostBreak(m);
    RunDueEvents(m, lock, NowNs(m), wakeMask);
    // A feed wakes the thread of a live device: a period's worth at a time.
    if (const WallTime now = steady_clock::now(); now >= m.fedAt + kFeedPeriod) {
        m.fedAt = now;
        FeedSinks(m, lock);
    }
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

// The task waits for the hardware thread to hand the devices back. Meanwhile
// the hardware thread leaves them be once it has: a host too slow to keep up
// would otherwise have its alarm ring again at once, and the task could wait
// for ever.
void WaitForDevices(Machine& m, std::unique_lock<std::mutex>& lock) {
    ++m.taskWaiting;
    m.taskWake.wait(lock, [&m] { return m.runner == Runner::Nobody; });
    --m.taskWaiting;
}

void TakeDevices(Machine& m, Runner who) {
    m.runner = who;
    Schedule(SchedulePoint::RunnerTaken);
}

void ReleaseDevices(Machine& m) {
    m.runner = Runner::Nobody;
    Schedule(SchedulePoint::RunnerReleased);
    m.taskWake.notify_all(); // a task that wants them meanwhile takes over
}

// The task hands the devices back and may not come back in time: the hardware
// thread's alarm then steps in. Not before half as late again as the next
// event, so that a task back asleep by then takes the event itself and the
// hardware thread is not woken for nothing; and set again only when it would
// ring sooner than that or much later, so a timer call every few blocks.
// Events run at their own machine time, and the task's next platform call
// runs whatever is due: a late alarm delays only the sinks and the servers
// of a task that is busy anyway.
void ArmWatchdog(Machine& m) {
    const WallTime now = steady_clock::now();
    WallTime due = DevicesDueAt(m);
    if (due == kNeverWall) {
        SetAlarm(m, due);
        return;
    }
    due = std::max(due, now);
    const auto ahead = std::max<steady_clock::duration>(due - now, kBehindGrace);
    if (m.alarmAt < due + ahead / 2 || m.alarmAt > due + 4 * ahead) {
        SetAlarm(m, due + 3 * ahead);
    }
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
            ReleaseDevices(m_);
            ArmWatchdog(m_);
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
            TakeDevices(m_, Runner::Task); // an alarm that rings meanwhile finds it so
        }
        if (m_.runner != Runner::Task) {
            return steady_clock::now() + kPoll; // woken when it is done
        }
        ServeDevices(m_, lock_, wakeMask_);
        return std::min(DevicesDueAt(m_), steady_clock::now() + kPoll);
    }

    // Sleeps until `at`. Running the devices, the task is the only thread that
    // could want it sooner, so it sleeps unlocked, off the condition variable.
    void Sleep(WallTime at) {
        if (m_.runner != Runner::Task) {
            ++m_.taskWaiting;
            m_.taskWake.wait_until(lock_, at);
            --m_.taskWaiting;
            return;
        }
        const timespec until = MonotonicTimespec(at);
        lock_.unlock();
        Schedule(SchedulePoint::SleepUnlocked);
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
        lock_.lock();
    }

private:
    Machine& m_;
    std::unique_lock<std::mutex>& lock_;
    std::uint32_t wakeMask_;
    std::optional<std::uint64_t> cpuStart_; // with Config::report
};

void HardwareMain(Machine& m) {
    InterruptContext context;
    std::unique_lock<std::mutex> lock(m.lock, std::defer_lock);
    for (;;) {
        Schedule(SchedulePoint::SleepUnlocked);
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
        if (m.runner == Runner::Nobody && m.taskWaiting == 0) {
            TakeDevices(m, Runner::Hardware);
            ServeDevices(m, lock, 0);
            ReleaseDevices(m);
            SetAlarm(m, DevicesDueAt(m));
        }
        lock.unlock();
    }
}

// The virtual clock's Wait: events run one time at a time until a signal of
// the mask arrives.
void VirtualWait(Machine& m, std::unique_lock<std::mutex>& lock, std::uint32_t mask) {
    const std::uint64_t start = m.ranToNs;
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
    const std::uint64_t start = m.ranToNs;
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

std::uint64_t NextEventNs(const Machine& m) {
    return std::min(m.channel.nextTickNs, m.breakAtNs);
}

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
    if (t_callNs != kNever) {
        return t_callNs;
    }
    if (!Virtual(m) && m.clockStarted) {
        m.nowNs = std::max(m.nowNs, RealNs(m, steady_clock::now()));
    }
    return m.nowNs;
}

std::uint64_t UpToDate(Machine& m, std::unique_lock<std::mutex>& lock) {
    const std::uint64_t outer = t_callNs;
    if (Virtual(m) || InInterrupt() || !m.clockStarted) {
        return outer;
    }
    t_callNs = kNever;
    // A hardware thread at work may be between an interrupt and the server's
    // acknowledgement, which starts the next block at a time already past:
    // it finishes first, whatever looks due.
    if (m.runner == Runner::Hardware) {
        WaitForDevices(m, lock);
    }
    const std::uint64_t now = NowNs(m);
    if (std::min(BlockEndNs(m), m.breakAtNs) <= now) {
        TakeDevices(m, Runner::Task);
        RunDueEvents(m, lock, now);
        ReleaseDevices(m);
        ArmWatchdog(m);
    } else {
        // Nothing that interrupts is due: the frames played so far are
        // fetched as they were, and that is all.
        FetchDueFrames(m, now);
    }
    t_callNs = now;
    return outer;
}

void EndCall(std::uint64_t outer) {
    t_callNs = outer;
}

void SleepFor(Machine& m, std::unique_lock<std::mutex>& lock, std::uint64_t ns) {
    t_callNs = kNever; // the caller is up to date again once it wakes
    const std::uint64_t until = std::min(NowNs(m) + ns, kMaxMachineNs);
    if (Virtual(m)) {
        RunDueEvents(m, lock, until);
        m.nowNs = std::max(m.nowNs, until);
        return;
    }
    SleepingTask task(m, lock, 0);
    while (NowNs(m) < until) {
        task.Sleep(std::min(WallAt(m, until), task.Serve()));
    }
}

std::uint32_t SleepForSignals(Machine& m, std::unique_lock<std::mutex>& lock, std::uint32_t mask) {
    t_callNs = kNever; // the caller is up to date again once it wakes
    if (Virtual(m)) {
        VirtualWait(m, lock, mask);
    } else {
        RealWait(m, lock, mask);
    }
    const std::uint32_t arrived = m.mainTask.receivedSignals & mask;
    m.mainTask.receivedSignals &= ~mask;
    return arrived;
}

void HandOverDevices(Machine& m) {
    t_callNs = kNever; // the caller is up to date again once it is back
    if (!Virtual(m) && m.runner == Runner::Nobody) {
        SetAlarm(m, DevicesDueAt(m));
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
    m.wallStart = steady_clock::now();
    m.pace = {.on = !Virtual(m) && m.config.speed == 1.0 && m.config.deviceClock != nullptr,
              .wall = m.wallStart};
    if (m.pace.on) {
        m.pace.slope = PaceSlope(m, 0);
    }
    m.clockStarted = true;
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
        m.breakAtNs = static_cast<std::uint64_t>(
                          std::min<long long>(m.config.breakAtUs, kMaxMachineNs / 1000)) *
                      1000;
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
