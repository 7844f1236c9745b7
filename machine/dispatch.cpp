#include "machine/dispatch.h"

#include <string>
#include <vector>

#include "machine/schedule.h"
#include "machine/state.h"
#include "machine/trace.h"
#include "machine/vt8231_registers.h"

namespace machine {

namespace {

thread_local bool t_interrupt = false;

} // namespace

bool InInterrupt() {
    return t_interrupt;
}

bool CheckTaskContext(Machine& m, const char* call) {
    if (t_interrupt) {
        Violation(m, std::string(call) + " called in interrupt context");
        return false;
    }
    return true;
}

InterruptContext::InterruptContext() : saved_(t_interrupt) {
    t_interrupt = true;
}

InterruptContext::~InterruptContext() {
    t_interrupt = saved_;
}

void CallServers(Machine& m, std::unique_lock<std::mutex>& lock) {
    std::vector<PciIntServerFunc>& servers = m.dispatchList; // kept, not allocated per interrupt
    servers.clear();
    for (const auto& entry : m.servers) {
        servers.push_back(entry->server);
    }
    m.dispatching = true;
    const std::uint8_t raised = m.channel.status;
    lock.unlock();
    Schedule(SchedulePoint::ServersUnlocked);
    for (PciIntServerFunc server : servers) {
        server();
    }
    lock.lock();
    m.dispatching = false;
    Trace(m, "irq_done", {{"acked", raised & ~m.channel.status & vt8231::kSgdStatusBlockEnds}});
    // A task removing a server waits for this; one still waiting for signals
    // may now have nothing left that can wake it.
    m.taskWake.notify_all();
}

} // namespace machine
