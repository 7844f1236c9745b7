#include "machine/clock.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <iterator>
#include <vector>

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
static_assert(std::atomic<int>::is_always_lock_free);
// SIGINT, SIGTERM and SIGHUP all stop the player as CTRL-C does.
constexpr int kBreakSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previous[std::size(kBreakSignals)];

void OnHostSignal(int signal) {
    // The first asks the player to stop; a second ends the process at once.
    if (g_hostSignals.fetch_add(1) > 0) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
    g_hostSigint.store(1);
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

// On the real clock the threads sleep until something is due, and look for a
// host signal at least this often; while the channel plays, its block ends
// come sooner. The sinks are fed at least every kFeedPeriod (wall time).
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
    std::vector<PciIntServerFunc> servers;
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
    // A task still waiting after the servers may now have nothing left that
    // can wake it; one that got its signals was woken by them.
    if ((m.mainTask.receivedSignals & m.waitMask) == 0) {
        m.taskWake.notify_all();
    }
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

// The real clock's device side. It sleeps until the channel's next block end
// (or a scripted break); the frames of a block are fetched when it wakes, or
// earlier when the main task does something they depend on (CatchUp). Sinks
// are fed each time: a block at a time, or kFeedPeriod's worth at low rates.
void HardwareMain(Machine& m) {
    t_interrupt = true;
    std::unique_lock<std::mutex> lock(m.lock);
    const bool sinks = m.config.dacSink != nullptr || m.config.spdifSink != nullptr;
    while (!m.stopHardware) {
        PollHostBreak(m);
        RunDueEvents(m, lock, NowNs(m));
        FeedSinks(m, lock);
        if (m.stopHardware) {
            break;
        }
        const std::uint64_t now = NowNs(m);
        const std::uint64_t next = std::min(BlockEndNs(m), m.breakAtNs);
        std::chrono::nanoseconds wait = sinks && ChannelRunning(m) ? kFeedPeriod : kPoll;
        if (next != kNever) {
            const auto wallNs = static_cast<std::int64_t>(
                static_cast<double>(next > now ? next - now : 0) / Speed(m));
            wait = std::min(wait, std::chrono::nanoseconds(wallNs));
        }
        if (wait.count() > 0) {
            m.hardwareWake.wait_for(lock, wait);
        }
    }
}

} // namespace

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
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::nanoseconds(static_cast<std::int64_t>(static_cast<double>(ns) / Speed(m)));
    while (std::chrono::steady_clock::now() < deadline) {
        m.taskWake.wait_until(lock, deadline);
    }
}

std::uint32_t SleepForSignals(Machine& m, std::unique_lock<std::mutex>& lock, std::uint32_t mask) {
    Task& task = m.mainTask;
    const std::uint64_t start = NowNs(m);
    const std::uint64_t limitNs = m.config.hangTimeoutUs * 1000;
    m.waitMask = mask;
    while ((task.receivedSignals & mask) == 0) {
        PollHostBreak(m);
        if ((task.receivedSignals & mask) != 0) {
            break;
        }
        if (!CanWake(m)) {
            // The channel plays on without anyone to wake: it runs to where
            // it stops or holds, as the hardware would.
            if (NextEventNs(m) != kNever) {
                if (Virtual(m)) {
                    RunDueEvents(m, lock, NextEventNs(m));
                } else {
                    m.taskWake.wait_for(lock, kPoll);
                }
                continue;
            }
            if (!m.config.hostSigint || !m.config.userAtTerminal) {
                Hang(m, "Wait with nothing that can wake the task");
            }
            // Only the user can end this wait now.
            m.taskWake.wait_for(lock, kPoll);
            continue;
        }
        if (!ScriptedBreakPending(m) && NowNs(m) - start > limitNs) {
            Hang(m, "no wake-up in " + std::to_string(m.config.hangTimeoutUs / 1000000) +
                        " s of machine time");
        }
        if (Virtual(m)) {
            RunDueEvents(m, lock, NextEventNs(m));
        } else {
            m.taskWake.wait_for(lock, kPoll);
        }
    }
    m.waitMask = 0;
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
    if (!Virtual(m)) {
        m.hardwareWake.notify_all();
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
        for (std::size_t i = 0; i < std::size(kBreakSignals); ++i) {
            sigaction(kBreakSignals[i], &action, &g_previous[i]);
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
        m.hardware = std::thread(HardwareMain, std::ref(m));
    }
}

void StopClock(Machine& m) {
    if (m.hardware.joinable()) {
        {
            std::lock_guard<std::mutex> guard(m.lock);
            m.stopHardware = true;
        }
        m.hardwareWake.notify_all();
        m.hardware.join();
    }
    if (m.config.hostSigint) {
        for (std::size_t i = 0; i < std::size(kBreakSignals); ++i) {
            sigaction(kBreakSignals[i], &g_previous[i], nullptr);
        }
    }
}

} // namespace machine
