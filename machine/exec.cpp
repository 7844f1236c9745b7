// exec.library on the machine: libraries, memory with accounting, and the
// main task's signals.
#include "platform/exec.h"

#include <cstdio>
#include <cstring>

#include "machine/call.h"
#include "machine/clock.h"
#include "machine/dispatch.h"
#include "machine/state.h"
#include "machine/trace.h"
#include "machine/vt8231_registers.h"

namespace {

Library* FindLibrary(machine::Machine& m, const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    if (std::strcmp(name, m.mixerLibrary.name) == 0) {
        if (HasFault(m, machine::Fault::MixerLibrary)) {
            return nullptr;
        }
        return &m.mixerLibrary;
    }
    if (std::strcmp(name, m.pciLibrary.name) == 0) {
        if (HasFault(m, machine::Fault::PciLibrary)) {
            return nullptr;
        }
        return &m.pciLibrary;
    }
    return nullptr;
}

// Whether the channel's table or the block it plays lies in this memory.
bool HoldsLiveDma(const machine::Machine& m, const machine::MemoryBlock& block) {
    const machine::Channel& c = m.channel;
    if (!c.active) {
        return false;
    }
    return machine::BusRangesOverlap(block.bus, block.size, c.tablePointer,
                                     2 * machine::vt8231::kSgdEntrySize) ||
           machine::BusRangesOverlap(block.bus, block.size, c.blockBus, c.blockLength);
}

} // namespace

Library* OpenLibrary(const char* libName, std::uint32_t version) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    machine::CheckTaskContext(m, "OpenLibrary");
    Library* library = FindLibrary(m, libName);
    if (library != nullptr && library == &m.mixerLibrary) {
        library->version = HasFault(m, machine::Fault::MixerLibraryOld) ? 49 : 50;
    }
    if (library != nullptr && library->version < version) {
        library = nullptr;
    }
    if (library != nullptr) {
        ++library->openCount;
    }
    machine::Trace(m, "library_open",
                   {{"name", libName != nullptr ? libName : ""},
                    {"version", version},
                    {"ok", library != nullptr}});
    return library;
}

void CloseLibrary(Library* library) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    machine::CheckTaskContext(m, "CloseLibrary");
    if (library == nullptr) {
        return;
    }
    const bool known = library == &m.mixerLibrary || library == &m.pciLibrary;
    if (!known || library->openCount == 0) {
        machine::Violation(m, "CloseLibrary of a library that is not open");
        return;
    }
    --library->openCount;
    machine::Trace(m, "library_close", {{"name", library->name}});
}

void* AllocVec(std::uint32_t byteSize, std::uint32_t attributes) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    machine::CheckTaskContext(m, "AllocVec");
    void* p = nullptr;
    if (byteSize != 0 && !HasFault(m, machine::Fault::Memory)) {
        p = machine::AllocateBlock(m.memory, byteSize, (attributes & MEMF_CLEAR) != 0);
    }
    machine::Trace(m, "alloc",
                   {{"size", byteSize}, {"attributes", attributes}, {"ok", p != nullptr}});
    return p;
}

void FreeVec(void* memoryBlock) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    machine::CheckTaskContext(m, "FreeVec");
    machine::Trace(m, "free");
    if (memoryBlock == nullptr) {
        return;
    }
    auto it = m.memory.blocks.find(reinterpret_cast<std::uintptr_t>(memoryBlock));
    if (it == m.memory.blocks.end()) {
        machine::Violation(m, "FreeVec of an address AllocVec did not return");
        return;
    }
    if (HoldsLiveDma(m, it->second)) {
        machine::Violation(m, "DMA memory freed while the channel is active");
    }
    machine::FreeBlock(m.memory, memoryBlock);
}

std::int8_t AllocSignal(std::int32_t signalNum) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    machine::CheckTaskContext(m, "AllocSignal");
    Task& task = m.mainTask;
    std::int32_t bit = -1;
    if (HasFault(m, machine::Fault::Signal)) {
        bit = -1;
    } else if (signalNum == -1) {
        for (std::int32_t candidate = 31; candidate >= 0; --candidate) {
            if ((task.allocatedSignals & (1u << candidate)) == 0) {
                bit = candidate;
                break;
            }
        }
    } else if (signalNum >= 0 && signalNum < 32 &&
               (task.allocatedSignals & (1u << signalNum)) == 0) {
        bit = signalNum;
    }
    if (bit >= 0) {
        task.allocatedSignals |= 1u << bit;
        task.receivedSignals &= ~(1u << bit);
    }
    machine::Trace(m, "signal_alloc", {{"bit", bit}});
    return static_cast<std::int8_t>(bit);
}

void FreeSignal(std::int32_t signalNum) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    machine::CheckTaskContext(m, "FreeSignal");
    machine::Trace(m, "signal_free", {{"bit", signalNum}});
    if (signalNum == -1) {
        return;
    }
    const bool allocated = signalNum >= 0 && signalNum < 32 &&
                           (m.mainTask.allocatedSignals & (1u << signalNum)) != 0 &&
                           (SYS_SIGALLOC & (1u << signalNum)) == 0;
    if (!allocated) {
        machine::Violation(m, "FreeSignal of signal " + std::to_string(signalNum) +
                                  ", which is not allocated");
        return;
    }
    m.mainTask.allocatedSignals &= ~(1u << signalNum);
}

Task* FindTask(const char* name) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    machine::CheckTaskContext(m, "FindTask");
    // The main task is the only task with a name anyone could ask for.
    Task* const task = name == nullptr ? &m.mainTask : nullptr;
    machine::Trace(m, "find_task", {{"ok", task != nullptr}});
    return task;
}

std::uint32_t SetSignal(std::uint32_t newSignals, std::uint32_t signalSet) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    machine::CheckTaskContext(m, "SetSignal");
    machine::Trace(m, "set_signal", {{"new", newSignals}, {"mask", signalSet}});
    const std::uint32_t old = m.mainTask.receivedSignals;
    m.mainTask.receivedSignals = (old & ~signalSet) | (newSignals & signalSet);
    return old;
}

std::uint32_t Wait(std::uint32_t signalSet) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    std::unique_lock<std::mutex>& lock = call.lock;
    if (machine::InInterrupt()) {
        machine::CheckTaskContext(m, "Wait");
        return 0;
    }
    const std::uint64_t since = machine::NowNs(m) / 1000;
    const std::uint32_t received = machine::SleepForSignals(m, lock, signalSet);
    call.Again();
    machine::Trace(m, "wait", {{"mask", signalSet}, {"received", received}, {"since", since}});
    return received;
}

void Signal(Task* task, std::uint32_t signalSet) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    std::unique_lock<std::mutex>& lock = call.lock;
    if (task != &m.mainTask) {
        machine::Violation(m, "Signal to a task that does not exist");
        return;
    }
    machine::Trace(m, "signal", {{"mask", signalSet}});
    task->receivedSignals |= signalSet;
    // Woken after the unlock, the task does not wait again for the lock.
    lock.unlock();
    m.taskWake.notify_all();
}
