#include "machine/clock.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
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
#include "machine/state.h"
#include "machine/trace.h"

namespace machine {

namespace {

thread_local bool t_interrupt = false;

// Set by the signal handler, taken by whichever thread polls: a lock-free
// atomic is both async-signal-safe and race-free between threads.
std::atomic<int> g_hostSigint{0};
std::atomic<int> g_hostSignals{0}; // received during this run
// The hardware thread's wake-up on the real clock, which the handler writes
// so that a signal is taken while the task is at work; -1 otherwise.
std::atomic<int> g_wakeFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);
// SIGINT, SIGTERM and SIGHUP all stop the player as CTRL-C does; each
// handler they had is put back at the end.
struct BreakSignal {
    int number;
    struct sigaction previous;
} g_breakSignals[] = {{SIGINT, {}}, {SIGTERM, {}}, {SIGHUP, {}}};

void OnHostSignal(int signal) {
    // The first asks the player to stop; a second ends the process at once.
    if (g_hostSignals.fetch_add(1) > 0) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
    g_hostSigint.store(1);
    if (const int fd = g_wakeFd.load(); fd >= 0) {
        const std::uint64_t one = 1;
        const ssize_t ignored = write(fd, &one, sizeof one); // fails only when woken already
        static_cast<void>(ignored);
    }
}

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

bool Virtual(const Machine& m) {
    return m.config.clock == ClockKind::Virtual;
}

// On the real clock the threads sleep until something is due. The task looks
// for a host signal at least every kPoll; the hardware thread is woken for
// one. The sinks are fed at least every kFeedPeriod (wall time) while the
// channel plays.
constexpr auto kPoll = std::chrono::milliseconds(100);
constexpr auto kFeedPeriod = std::chrono::milliseconds(50);

double Speed(const Machine& m) {
    return m.config.speed > 0 ? m.config.speed : 1.0;
}

void PollHostBreak(Machine& m) {
    if (m.config.hostSigint && g_hostSigint.exchange(0) != 0) {
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

// The interrupt line is raised: every installed server runs, in the order of
// installation, without the machine locked (a server calls Signal and the
// register functions, which lock it).
void CallServers(Machine& m, std::unique_lock<std::mutex>& lock) {
    std::vector<PciIntServerFunc>& servers = m.dispatchList; // kept, not allocated per interrupt
    servers.clear();
    for (const auto& entry : m.servers) {
        servers.push_back(entry->server);
    }
    m.dispatching = true;
    lock.unlock();
    for (PciIntServerFunc server : servers) {
        server();
    }
    lock.lock();
    m.dispatching = false;
    // A task removing a server waits for this; one still waiting for signals
    // may now have nothing left that can wake it.
    m.taskWake.notify_all();
}

// Runs, in time order, every device event due at or before dueNs.
void RunDueEvents(Machine& m, std::unique_lock<std::mutex>& lock, std::uint64_t dueNs) {
    InterruptContext context;
    for (;;) {
        PollHostBreak(m);
        const std::uint64_t next = NextEventNs(m);
        if (next == kNever || next > dueNs) {
            return;
        }
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

// One round of the devices on the real clock: what is due by now runs, its
// frames are fetched, and the sinks get what is queued.
void ServeDevices(Machine& m, std::unique_lock<std::mutex>& lock) {
    PollHostBreak(m);
    RunDueEvents(m, lock, NowNs(m));
    FeedSinks(m, lock);
}

// steady_clock is CLOCK_MONOTONIC, which the kernel's timers take as a timespec.
timespec MonotonicTimespec(WallTime at) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch());
    return timespec{static_cast<time_t>(ns.count() / 1000000000),
                    static_cast<long>(ns.count() % 1000000000)};
}

// The hardware thread's alarm, a timer the main task can set or clear
// without waking the thread.
void SetAlarm(Machine& m, WallTime at) {
    itimerspec spec{}; // all zero disarms it; a real time is never zero
    if (at != kNeverWall) {
        spec.it_value = MonotonicTimespec(at);
    }
    timerfd_settime(m.alarmFd, TFD_TIMER_ABSTIME, &spec, nullptr);
}

// The task sleeps on the real clock. While it does, its own thread runs the
// devices, as an idle processor takes the interrupt: a block end then costs
// one wake-up, not two. The hardware thread serves them otherwise, woken by
// its alarm, which is set again when the task goes back to work.
class TaskServes {
public:
    TaskServes(Machine& m, std::unique_lock<std::mutex>& lock) : m_(m), lock_(lock) {
        if (m.config.taskCpu) {
            cpuStart_ = ThreadCpuNs();
        }
    }
    ~TaskServes() {
        if (m_.taskServes) {
            m_.taskServes = false;
            SetAlarm(m_, DevicesDueAt(m_));
        }
        if (cpuStart_) {
            m_.sleepCpuNs += ThreadCpuNs() - *cpuStart_;
        }
    }
    TaskServes(const TaskServes&) = delete;
    TaskServes& operator=(const TaskServes&) = delete;

    // Runs what is due if the hardware thread is not in the middle of it;
    // returns when to come back.
    WallTime Serve() {
        if (!m_.taskServes && !m_.hardwareServes) {
            m_.taskServes = true;
            SetAlarm(m_, kNeverWall);
        }
        if (!m_.taskServes) {
            return std::chrono::steady_clock::now() + kPoll; // woken when it is done
        }
        ServeDevices(m_, lock_);
        return std::min(DevicesDueAt(m_), std::chrono::steady_clock::now() + kPoll);
    }

    // Sleeps until `at`. Serving, the task is the only one who runs the
    // devices, so nothing but a host signal can want it sooner: it sleeps
    // unlocked, off the condition variable and its mutex hand-over.
    void Sleep(WallTime at) {
        if (!m_.taskServes) {
            m_.taskWake.wait_until(lock_, at);
            return;
        }
        const timespec until = MonotonicTimespec(at);
        lock_.unlock();
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
        lock_.lock();
    }

private:
    Machine& m_;
    std::unique_lock<std::mutex>& lock_;
    std::optional<std::uint64_t> cpuStart_; // with Config::taskCpu
};

// The real clock's device side while the main task is at work: it sleeps until
// its alarm, a host signal or a stop. A block's frames are fetched when it
// wakes, or earlier when the main task does something they depend on (CatchUp).
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
        if (!m.taskServes) {
            m.hardwareServes = true;
            ServeDevices(m, lock);
            m.hardwareServes = false;
            m.taskWake.notify_all(); // a task that slept meanwhile takes over
        }
        if (!m.taskServes) {
            SetAlarm(m, DevicesDueAt(m));
        }
        lock.unlock();
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
    TaskServes serves(m, lock);
    while (std::chrono::steady_clock::now() < deadline) {
        serves.Sleep(std::min(deadline, serves.Serve()));
    }
}

std::uint32_t SleepForSignals(Machine& m, std::unique_lock<std::mutex>& lock, std::uint32_t mask) {
    Task& task = m.mainTask;
    const std::uint64_t start = NowNs(m);
    const std::uint64_t limitNs = m.config.hangTimeoutUs * 1000;
    std::optional<TaskServes> serves;
    if (!Virtual(m)) {
        serves.emplace(m, lock);
    }
    while ((task.receivedSignals & mask) == 0) {
        WallTime wakeAt{};
        if (Virtual(m)) {
            PollHostBreak(m);
        } else {
            wakeAt = serves->Serve();
        }
        if ((task.receivedSignals & mask) != 0) {
            break;
        }
        if (!CanWake(m)) {
            // The channel plays on without anyone to wake: it runs to where
            // it stops or holds, as the hardware would.
            const bool playing = NextEventNs(m) != kNever;
            if (!playing && (!m.config.hostSigint || !m.config.userAtTerminal)) {
                Hang(m, "Wait with nothing that can wake the task");
            }
            // Otherwise only the user can end this wait.
        } else if (!ScriptedBreakPending(m) && NowNs(m) - start > limitNs) {
            Hang(m, "no wake-up in " + std::to_string(m.config.hangTimeoutUs / 1000000) +
                        " s of machine time");
        }
        if (!Virtual(m)) {
            serves->Sleep(wakeAt);
        } else if (NextEventNs(m) != kNever) {
            RunDueEvents(m, lock, NextEventNs(m));
        } else {
            m.taskWake.wait_for(lock, kPoll); // the user at the terminal
        }
    }
    const std::uint32_t arrived = task.receivedSignals & mask;
    task.receivedSignals &= ~mask;
    return arrived;
}

void CatchUp(Machine& m) {
    if (!Virtual(m)) {
        FetchDueFrames(m, NowNs(m));
    }
}

void KickHardware(Machine& m) {
    // A thread serving the devices looks again when its round ends.
    if (!Virtual(m) && !m.taskServes && !m.hardwareServes) {
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
    if (m.config.hostSigint) {
        g_hostSigint.store(0);
        g_hostSignals.store(0);
        struct sigaction action {};
        action.sa_handler = OnHostSignal;
        sigemptyset(&action.sa_mask);
        for (BreakSignal& s : g_breakSignals) {
            sigaction(s.number, &action, &s.previous);
        }
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
        m.alarmFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        m.wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (m.alarmFd < 0 || m.wakeFd < 0) {
            std::perror("machine: the hardware thread's timer");
            std::abort();
        }
        g_wakeFd.store(m.wakeFd);
        // The thread acts only when its alarm rings or it is woken.
        SetAlarm(m, DevicesDueAt(m));
        m.hardware = std::thread(HardwareMain, std::ref(m));
    }
}

void StopClock(Machine& m) {
    // The handlers go first, so that none writes to a descriptor closed below.
    if (m.config.hostSigint) {
        for (const BreakSignal& s : g_breakSignals) {
            sigaction(s.number, &s.previous, nullptr);
        }
    }
    g_wakeFd.store(-1);
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
