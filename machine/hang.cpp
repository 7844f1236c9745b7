#include "machine/hang.h"

#include <string>

#include "machine/clock.h"
#include "machine/schedule.h"
#include "machine/state.h"
#include "machine/timeline.h"
#include "machine/trace.h"
#include "machine/vt8231_registers.h"

namespace machine {

namespace {

bool ScriptedBreakPending(const Machine& m) {
    return m.breakAtNs != kNever || (m.breakAfterBlocksPending && ChannelRunning(m));
}

[[noreturn]] void Hang(Machine& m, const std::string& why) {
    Violation(m, "hang: " + why);
    m.result.hung = true;
    throw RunEnded{};
}

} // namespace

bool CanWake(const Machine& m) {
    if (m.dispatching || ScriptedBreakPending(m)) {
        return true;
    }
    return ChannelRunning(m) && !m.servers.empty() &&
           (m.channel.type & vt8231::kSgdTypeInterrupts) != 0;
}

void CheckHang(Machine& m, std::uint64_t startNs) {
    Schedule(SchedulePoint::HangCheck);
    if (!CanWake(m)) {
        // The channel plays on without anyone to wake: it runs to where it
        // stops or holds, as the hardware would. Then only a user can end it.
        const bool playing = NextEventNs(m) != kNever;
        if (!playing && !(m.config.hostSigint && m.config.userAtTerminal)) {
            Hang(m, "Wait with nothing that can wake the task");
        }
    } else if (!ScriptedBreakPending(m) && m.ranToNs - startNs > m.config.hangTimeoutUs * 1000) {
        const std::uint64_t us = m.config.hangTimeoutUs;
        Hang(m, "no wake-up in " +
                    (us % 1000000 == 0 ? std::to_string(us / 1000000) + " s"
                                       : Milliseconds(static_cast<std::int64_t>(us)) + " ms") +
                    " of machine time");
    }
}

} // namespace machine
