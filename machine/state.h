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
#include "machine/refill_account.h"
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
    bool regular = false; // a regular file: a read never keeps the host waiting long
};

// A disk reads ahead: one host read serves about ten buffers.
inline constexpr std::size_t kReadAhead = std::size_t{64} * 1024;

// Who runs the devices on the real clock: the main task's thread while it
// sleeps or in a platform call, else the hardware thread, never both
// (clock.cpp).
enum class Runner { Nobody, Task, Hardware };

using WallTime = std::chrono::steady_clock::time_point;

// The real clock at speed 1 steered by a live sound device: machine time
// from `wall` on is ns + (wall time since) * slope (clock.cpp).
struct Pace {
    bool on = false;
    WallTime wall{};
    std::uint64_t ns = 0;
    double slope = 1.0;
    std::uint64_t limitNs = kNever; // where the slope reaches 0; kNever unpaced
};

struct Machine {
    explicit Machine(const Config& c) : config(c) {}

    Config config;
    Result result;

    std::mutex lock;
    // The main task waiting for a signal or for the devices; a remover of an
    // interrupt server waiting for the servers to return.
    std::condition_variable taskWake;

    // Clock.
    bool clockStarted = false; // before, machine time is 0 and nothing runs
    // Virtual: the time. Real: the latest time read, which never goes back.
    std::uint64_t nowNs = 0;
    // The devices have run every event due by this machine time.
    std::uint64_t ranToNs = 0;
    WallTime wallStart;
    Pace pace;
    WallTime fedAt{};      // when the sinks were last fed, on the real clock
    bool lateTold = false; // the host's lateness has been told
    std::thread hardware;
    bool stopHardware = false;
    // When the alarm is set to ring; in the past once it has rung.
    std::chrono::steady_clock::time_point alarmAt = std::chrono::steady_clock::time_point::max();
    int alarmFd = -1;               // timerfd: when the hardware thread is next due
    int wakeFd = -1;                // eventfd: to stop, or for a host signal
    Runner runner = Runner::Nobody; // who runs the devices (real clock)
    int taskWaiting = 0;            // the task waits for the hardware thread to hand them back
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
    // Where a Read's data waits until it lands in the player's memory.
    std::vector<std::uint8_t> staging;
    // The frames the channel fetched last, as it read them over the bus.
    std::vector<std::uint8_t> fetched;

    // The PCI bus and its one audio function.
    bool devicePresent = true;
    PciDevice device{};
    std::vector<std::unique_ptr<IntServerEntry>> servers;
    std::vector<PciIntServerFunc> dispatchList; // the servers being called
    Channel channel;
    RefillAccount refills;

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
