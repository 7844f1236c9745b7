// Boots the machine, runs the entry routine as its main task, and checks
// what the run left behind.
#include "machine/machine.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "machine/audio_out.h"
#include "machine/clock.h"
#include "machine/io_window.h"
#include "machine/refill_account.h"
#include "machine/schedule.h"
#include "machine/state.h"
#include "machine/trace.h"
#include "machine/vt8231_registers.h"
#include "platform/exec.h"

namespace machine {

namespace {

Machine* g_machine = nullptr;
// Held while g_machine changes, so that another thread may ask for progress.
std::mutex g_running;

void Boot(Machine& m) {
    m.mainTask.allocatedSignals = SYS_SIGALLOC;
    if (HasFault(m, Fault::Device)) {
        m.devicePresent = false;
    }
    ResetPciDevice(m.device);
    ResetCodec(m.codec, m.config);
}

// What a well-behaved program gives back before it returns.
void CheckHeld(Machine& m) {
    // A run the machine cut short holds whatever it held: only the hang is news.
    if (m.result.hung) {
        for (const auto& [handle, file] : m.files) {
            std::fclose(file.file);
        }
        m.files.clear();
        return;
    }
    for (const Library* library : {&m.pciLibrary, &m.mixerLibrary}) {
        if (library->openCount > 0) {
            Violation(m, std::string(library->name) + " still open at the end of the run");
        }
    }
    for (const auto& [cpu, block] : m.memory.blocks) {
        Violation(m, "memory block of " + std::to_string(block.size) +
                         " bytes still allocated at the end of the run");
    }
    for (int bit = 0; bit < 32; ++bit) {
        if ((m.mainTask.allocatedSignals & ~SYS_SIGALLOC & (1u << bit)) != 0) {
            Violation(m,
                      "signal " + std::to_string(bit) + " still allocated at the end of the run");
        }
    }
    if (!m.servers.empty()) {
        Violation(m, "interrupt server still installed at the end of the run");
    }
    for (const auto& [handle, file] : m.files) {
        Violation(m, "file " + file.name + " still open at the end of the run");
        std::fclose(file.file);
    }
    m.files.clear();
    if (m.channel.active) {
        Violation(m, "channel still running at the end of the run");
    }
}

void Collect(Machine& m) {
    Result& r = m.result;
    r.report.timeUs = NowNs(m) / 1000;
    FinishRefillAccount(m);
    for (std::uint32_t reg = 0; reg <= 0x7E; reg += 2) {
        r.codecRegisters[reg] = m.codec.registers[reg >> 1];
    }
    r.pciConfig.assign(std::begin(m.device.config), std::end(m.device.config));
}

} // namespace

Machine& TheMachine() {
    if (g_machine == nullptr) {
        std::fputs("machine: platform call outside machine::Run\n", stderr);
        std::abort();
    }
    return *g_machine;
}

std::uint64_t TimeUs() {
    Machine& m = TheMachine();
    std::lock_guard<std::mutex> guard(m.lock);
    return NowNs(m) / 1000;
}

bool Progress(Report* report) {
    std::lock_guard<std::mutex> running(g_running);
    if (g_machine == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> guard(g_machine->lock);
    if (!g_machine->clockStarted) {
        return false;
    }
    *report = g_machine->result.report;
    report->timeUs = NowNs(*g_machine) / 1000;
    return true;
}

void SetChannelStatusBits(std::uint8_t bits) {
    Machine& m = TheMachine();
    std::lock_guard<std::mutex> guard(m.lock);
    m.channel.status =
        static_cast<std::uint8_t>(m.channel.status | (bits & ~vt8231::kSgdStatusActive));
}

Result Run(const Config& config, const Entry& entry, const std::vector<std::string>& argv) {
    auto m = std::make_unique<Machine>(config);
    Boot(*m);
    // The clock starts before anyone can read the machine: a Progress call
    // before then would see no time, or worse, a wall time with no start.
    {
        std::lock_guard<std::mutex> guard(m->lock);
        StartClock(*m);
    }
    {
        std::lock_guard<std::mutex> running(g_running);
        g_machine = m.get();
    }
    Schedule(SchedulePoint::Published);

    std::vector<std::string> args = argv;
    std::vector<char*> pointers;
    pointers.reserve(args.size() + 1);
    for (std::string& arg : args) {
        pointers.push_back(arg.data());
    }
    pointers.push_back(nullptr);

    const std::uint64_t cpuStartNs = ThreadCpuNs();
    const int returnCode = [&] {
        try {
            return entry(static_cast<std::int32_t>(args.size()), pointers.data());
        } catch (const RunEnded&) {
            return -1; // the machine ended the run
        }
    }();
    const std::uint64_t taskCpuNs = ThreadCpuNs() - cpuStartNs;
    StopClock(*m);

    {
        std::unique_lock<std::mutex> lock(m->lock);
        CheckHeld(*m);
        Collect(*m);
        m->result.returnCode = returnCode;
        if (m->config.report) {
            m->result.report.taskThreadCpuUs = taskCpuNs / 1000;
            m->result.report.taskCpuUs = (taskCpuNs - m->sleepCpuNs) / 1000;
        }
        FeedSinks(*m, lock);
    }
    for (AudioSink* sink : {config.dacSink, config.spdifSink}) {
        if (sink != nullptr) {
            sink->Finish();
        }
    }
    {
        std::lock_guard<std::mutex> running(g_running);
        g_machine = nullptr;
    }
    return std::move(m->result);
}

} // namespace machine
