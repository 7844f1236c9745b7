// The one machine of the process: everything the platform calls act on.
// Every field is guarded by `lock`; the few that a thread may touch without it,
// and why that is safe, are named at the top of clock.cpp.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "machine/ac97_codec.h"
#include "machine/audio_out.h"
#include "machine/machine.h"
#include "machine/memory.h"
#include "machine/vt8231_channel.h"
#include "platform/cybpci.h"
#include "platform/dos.h"
#include "platform/exec.h"

struct Library {
    const char* name;
    std::uint32_t version;
    int openCount;
};

struct Task {
    std::uint32_t allocatedSignals;
    std::uint32_t receivedSignals;
};

struct PciDevice {
    std::uint8_t config[256];
};

struct Mixer {}; // the one codec

namespace machine {

struct IntServerEntry {
    PciIntServerFunc server;
    void* data;
};

struct OpenFile {
    std::FILE* file;
    std::string name;
    std::unique_ptr<char[]> buffer; // the file's stdio buffer: glibc sizes its own at 4 KiB
    // Bytes the program took from this pipe before the run, read before the pipe.
    std::vector<std::uint8_t> peeked{};
    std::size_t peekedRead = 0;
};

// A disk reads ahead: one host read serves about ten buffers.
inline constexpr std::size_t kReadAhead = std::size_t{64} * 1024;

// A block the channel has played, for the overrun account.
struct PlayedBlock {
    std::uint32_t length;
    bool refilled; // a Read landed in it since it last started playing
};

// Who runs the devices on the real clock: the main task's thread while it
// sleeps, else the hardware thread, never both (clock.cpp).
enum class Runner { Nobody, Task, Hardware };

struct Machine {
    explicit Machine(const Config& c) : config(c) {}

    Config config;
    Result result;

    std::mutex lock;
    // The main task waiting for a signal or for the devices; a remover of an
    // interrupt server waiting for the servers to return.
    std::condition_variable taskWake;

    // Clock.
    std::uint64_t nowNs = 0;
    std::chrono::steady_clock::time_point wallStart;
    std::thread hardware;
    bool stopHardware = false;
    // When the alarm is set to ring; in the past once it has rung.
    std::chrono::steady_clock::time_point alarmAt = std::chrono::steady_clock::time_point::max();
    int alarmFd = -1;               // timerfd: when the hardware thread is next due
    int wakeFd = -1;                // eventfd: to stop, or for a host signal
    Runner runner = Runner::Nobody; // who runs the devices (real clock)
    // CPU time of the main task's thread in the machine's sleeps: the waiting,
    // and the device rounds run there.
    std::uint64_t sleepCpuNs = 0;
    bool dispatching = false; // interrupt servers are being called
    std::uint64_t breakAtNs = kNever;
    bool breakAfterBlocksPending = false;

    // exec.
    Task mainTask{};
    Library mixerLibrary{"ac97mixer.library", 50, 0};
    Library pciLibrary{"cybpci.library", 2, 0};
    Memory memory;

    // dos.
    std::map<BPTR, OpenFile> files;
    bool peekedGiven = false; // Config::peeked went to an Open
    BPTR nextFile = 0x1000;
    int readCalls = 0;
    // The bus address and length a Read that takes time is filling, while it
    // does; 0 and 0 for memory the bus does not reach.
    std::optional<std::pair<std::uint32_t, std::uint32_t>> refilling;

    // The PCI bus and its one audio function.
    bool devicePresent = true;
    PciDevice device{};
    std::vector<std::unique_ptr<IntServerEntry>> servers;
    std::vector<PciIntServerFunc> dispatchList; // the servers being called
    Channel channel;
    std::map<std::uint32_t, PlayedBlock> played; // by bus address
    SlackAccount slack;

    // The codec behind the mixer library.
    Mixer mixer;
    Codec codec;

    // Audio for the program's sinks. `*Feeding` are being written to the
    // sinks, unlocked, by the thread that runs the devices.
    SinkQueue dacQueue, spdifQueue;
    SinkQueue dacFeeding, spdifFeeding;
};

// The running machine. Platform calls outside Run end the process.
Machine& TheMachine();

inline bool HasFault(const Machine& m, Fault fault) {
    return m.config.faults.count(fault) != 0;
}

} // namespace machine
