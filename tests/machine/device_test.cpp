// The machine against the documentation, without the player: exec, dos and the
// clock; the VT8231 audio function and its AC'97 codec; and, since they need
// the device too, the machine's checks of the platform's rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <set>

#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include "frontend/entry.h"
#include "machine/host_signals.h"
#include "machine/vt8231_registers.h"
#include "platform/ac97mixer.h"
#include "platform/byteorder.h"
#include "platform/cybpci.h"
#include "platform/dos.h"
#include "platform/exec.h"
#include "platform/io.h"
#include "support/harness.h"

namespace {

using namespace harness;
using namespace machine::vt8231;
constexpr std::uint8_t kTypePlayback =
    kSgdTypeAutoStart | kSgdType16Bit | kSgdTypeStereo | kSgdTypeInterrupts;
using machine::ClockKind;

// A small driver of the function, as the tests' fixture. The interrupt
// server, a plain function, reaches the test's driver through `current`.
class Driver : public testing::Test {
protected:
    Driver() { current = this; }

    static std::uint32_t Server() {
        Driver& d = *current;
        std::function<void()>(d.extra)(); // a copy, so that it may replace itself
        d.seen.push_back(ReadRegister8(d.io + kSgdStatus));
        WriteRegister8(d.io + kSgdStatus, d.acks ? d.seen.back() & kSgdStatusBlockEnds : 0);
        Signal(d.task, 1u << d.sig);
        return 0;
    }

    // The function found by VIA's vendor ID and the VT8231 audio function's
    // device ID, with I/O decoding and bus mastering on.
    void Open() {
        const TagItem tags[] = {{PCIFIND_VENDOR, 0x1106}, {PCIFIND_DEVICE, 0x3058}, {0, 0}};
        pci = OpenLibrary("cybpci.library", 2);
        mixerLib = OpenLibrary("ac97mixer.library", 50);
        dev = FindPciDevice(pci, nullptr, tags);
        mixer = FindMixer(mixerLib, nullptr, -1, nullptr);
        WritePciConfigLong(pci, dev, kCfgCommand, kCommandIoSpace | kCommandBusMaster);
        task = FindTask(nullptr);
        io = GetPciDeviceAttr(pci, dev, PCIATTR_BASE0) & kBase0AddressMask;
        sig = AllocSignal(-1);
        extra = [] {};
        acks = true;
        seen.clear();
        block = nullptr;
        server = AddPciIntServer(pci, dev, Server, nullptr, nullptr);
    }

    void Close() {
        WriteRegister8(io + kSgdControl, kSgdControlTerminate);
        RemPciIntServer(pci, server);
        FreeVec(block);
        FreeSignal(sig);
        CloseLibrary(pci);
        CloseLibrary(mixerLib);
    }

    // Runs body between Open and Close on a machine.
    machine::Result OnDevice(const std::function<void()>& body,
                             const machine::Config& config = {}) {
        return OnMachine([&] { Open(), body(), Close(); }, config);
    }

    // A descriptor table for `words` in a DMA area, blocks 4 KiB apart, each
    // with its own pattern of the length in the word's low 24 bits; returns
    // the blocks.
    std::vector<Bytes> Load(const std::vector<std::uint32_t>& words) {
        block = AllocVec(1 << 16, MEMF_CLEAR);
        auto* t =
            reinterpret_cast<std::uint8_t*>((reinterpret_cast<std::uintptr_t>(block) + 15) & ~15ul);
        std::vector<Bytes> blocks;
        for (std::size_t i = 0; i < words.size(); ++i) {
            blocks.push_back(Pattern(words[i] & 0xFFFFFF, 40 * i + 1));
            std::copy(blocks[i].begin(), blocks[i].end(), t + 64 + 0x1000 * i);
            StoreLE32(t + 8 * i, GetPciBusAddress(pci, dev, t + 64 + 0x1000 * i));
            StoreLE32(t + 8 * i + 4, words[i]);
        }
        WriteRegister32(io + kSgdTablePointer, GetPciBusAddress(pci, dev, table = t));
        return blocks;
    }

    // Starts the channel on the table: type and start in one store to offsets 0 to 3.
    void Start() { WriteRegister32(io + kSgdStatus, kTypePlayback << 16 | kSgdControlStart << 8); }

    // The channel looping over a FLAG and an EOL block of 400 bytes.
    void Loop() {
        Load({kSgdEntryFlag | 400, kSgdEntryEol | 400});
        Start();
    }

    static inline Driver* current = nullptr;
    Library *pci = nullptr, *mixerLib = nullptr;
    PciDevice* dev = nullptr;
    Mixer* mixer = nullptr;
    std::uintptr_t io = 0;
    Task* task = nullptr;
    std::int8_t sig = -1;
    void *block = nullptr, *server = nullptr, *table = nullptr;
    // What the interrupt server does first.
    std::function<void()> extra;
    // Whether the server clears the status bits it read.
    bool acks = true;
    std::vector<std::uint8_t> seen;
};
using Pci = Driver;
using Sgd = Driver;
using RealClock = Driver;
using Codec = Driver;
using Checks = Driver;

// A program's sink. It gets each output as the capture holds it, in pieces
// that keep their settings, with the machine unlocked: it may ask for progress.
struct Recorder : machine::AudioSink {
    using Segments = std::vector<std::tuple<std::size_t, std::uint32_t, bool, bool>>;
    Bytes bytes;
    Segments segments;
    void Write(const machine::AudioChunk& c) override {
        machine::Report report;
        EXPECT_TRUE(machine::Progress(&report));
        segments.emplace_back(bytes.size(), c.rate, c.muted, c.nonAudio);
        bytes.insert(bytes.end(), c.bytes, c.bytes + c.size);
    }
    void Expect(const machine::Capture& capture) const {
        Segments want;
        for (const machine::Segment& s : capture.segments) {
            want.emplace_back(s.offset, s.rate, s.muted, s.nonAudio);
        }
        EXPECT_EQ(segments, want);
        EXPECT_EQ(Mismatch(bytes, capture.bytes), "");
    }
};

// The configuration space keeps its read-only ranges, and blocks never
// share bus addresses.
TEST_F(Pci, ConfigSpaceAndBusAddresses) {
    Bytes want = OnMachine([] {}).pciConfig;
    // VIA's vendor ID, the VT8231 audio function's device ID.
    EXPECT_EQ(Head(want, 4), (Bytes{0x06, 0x11, 0x58, 0x30}));
    // Offset, value (a byte write when it fits one), bytes that take it.
    const std::tuple<std::uint32_t, std::uint32_t, std::uint32_t> rows[] = {
        {0x00, 0xFFFFFFFF, 0}, {0x0A, 0, 0},          {0x04, 0xF9000005, 2},
        {0x0C, 0x10, 1},       {0x10, 0x12345678, 0}, {0x10, 5, 0},
        {0x3D, 0, 0},          {0xFF, 5, 1},          {0x40, 0x11223344, 4}};
    const auto r = OnDevice([&] {
        for (const auto& [offset, value, lands] : rows) {
            value > 0xFF ? WritePciConfigLong(pci, dev, offset, value)
                         : WritePciConfigByte(pci, dev, offset, value);
            for (std::uint32_t i = 0; i < lands; ++i) {
                want[offset + i] = static_cast<std::uint8_t>(value >> 8 * i);
            }
        }
    });
    EXPECT_EQ(r.pciConfig, want);
    // Each block has a bus range of its own (bus address, size), small or large.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
    OnDevice([&] {
        std::vector<void*> blocks;
        for (std::uint32_t size : {0x20000u, 100u, 0x20000u, 8u}) {
            blocks.push_back(AllocVec(size, 0));
            ranges.emplace_back(GetPciBusAddress(pci, dev, blocks.back()), size);
        }
        std::for_each(blocks.begin(), blocks.end(), FreeVec);
    });
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            const auto [a, n] = ranges[i];
            const auto [b, m] = ranges[j];
            EXPECT_TRUE(a >= b + m || b >= a + n) << "blocks " << j << " and " << i;
        }
    }
}

// The channel plays the table at the codec's rate, holds after a FLAG or
// EOL block until acknowledged, and interrupts when asked to; a program's
// sinks get what the captures hold.
TEST_F(Sgd, PlaysTheTableAtTheCodecsRate) {
    constexpr std::uint32_t F = kSgdEntryFlag, E = kSgdEntryEol;
    using Writes = std::vector<std::pair<std::uint32_t, std::int32_t>>;
    // Codec writes before the start, and the DAC rate they give (22050 at
    // power-on; 8000 to 48000 with VRA); the channel's type and table; the
    // status at each interrupt, the blocks started in order; the S/PDIF rate
    // (0: off) and /AUDIO; whether the server acknowledges, else the task does
    // 200 ms later.
    struct Row {
        const char* name;
        Writes codec;
        std::uint32_t rate;
        std::uint8_t type;
        std::vector<std::uint32_t> table;
        std::vector<std::uint8_t> statuses;
        std::vector<int> order;
        std::uint32_t spdif = 0;
        bool nonAudio = false;
        bool ack = true;
    };
    // In the fields' order, as arguments, so that a row takes two lines.
    const Row rows[] = {
        Row("an empty block, one after EOL", {{0x2C, 32000}}, 32000, 0x32,
            {4096, 1000, 0, E | 2048, 4096}, {2}, {0, 1, 2, 3}, 48000),
        Row("8000 Hz, data on S/PDIF", {{0x2A, 1}, {0x3A, 2}, {0x2A, 5}, {0x2C, 7999}}, 8000, 0x32,
            {804, E | 400}, {2}, {0, 1}, 44100, true),
        Row("looping, no VRA", {{0x2A, 0}, {0x2C, 8000}}, 48000, 0xB3, {F | 400, 800, E | 1200},
            {0x81, 0x82, 0x81}, {0, 1, 2, 0, 1}),
        Row("held", {{0x2A, 1}, {0x3A, 0x3000}, {0x2A, 5}}, 22050, 0xB3, {F | 400, E | 800},
            {0x81, 0x82, 0x81}, {0, 1, 0, 1}, 32000, false, false),
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<Bytes> blocks;
        Recorder dac, spdif;
        const auto r = OnDevice(
            [&] {
                acks = row.ack;
                for (const auto& [reg, value] : row.codec) {
                    WriteCodecRegister(mixerLib, mixer, reg, value);
                }
                blocks = Load(row.table);
                WriteRegister8(io + kSgdType, row.type);
                WriteRegister8(io + 1, 0x80);
                for (std::uint8_t status : row.statuses) {
                    Wait(1u << sig);
                    // Still held 200 ms later; a 1 to the other bit changes nothing.
                    if (!row.ack) {
                        Delay(10);
                        WriteRegister8(io + kSgdStatus, ~status & kSgdStatusBlockEnds);
                        EXPECT_EQ(ReadRegister8(io + kSgdStatus), status);
                        WriteRegister32(io + kSgdStatus,
                                        row.type << 16 | (status & kSgdStatusBlockEnds));
                    }
                }
            },
            {.codecPowerOn = {{0x2C, 22050}}, .dacSink = &dac, .spdifSink = &spdif});
        EXPECT_EQ(seen, row.statuses);
        dac.Expect(r.dac);
        spdif.Expect(r.spdif);
        // Each block's bytes and start in µs.
        std::vector<std::pair<std::int64_t, std::uint64_t>> got, want;
        for (const auto& e : Events(r, {"block"})) {
            got.emplace_back(e.Number("bytes"), e.timeUs);
        }
        // Heard: all but the last block started, which may have only begun.
        Bytes heard, last;
        std::uint64_t frames = 0, paused = 0;
        for (int i : row.order) {
            const std::uint32_t word = row.table[i];
            want.emplace_back(word & 0xFFFFFF, frames * 1000000 / row.rate + paused);
            frames += std::max<std::uint32_t>((word & 0xFFFFFF) / 4, 1);
            paused += (word & (E | F)) != 0 && !row.ack ? 200000 : 0;
            heard = Concat({heard, last});
            last = blocks[i];
        }
        EXPECT_EQ(got, want);
        EXPECT_EQ(Mismatch(Head(r.dac.bytes, heard.size()), heard), "");
        EXPECT_EQ(r.dac.segments.at(0).rate, row.rate);
        EXPECT_EQ(Mismatch(r.spdif.bytes, row.spdif != 0 ? r.dac.bytes : Bytes{}), "");
        const machine::Segment none{0, 0, false, false},
            &s = r.spdif.segments.empty() ? none : r.spdif.segments[0];
        EXPECT_EQ(s.rate, row.spdif);
        EXPECT_EQ(s.nonAudio, row.nonAudio);
        // Blocks played again without a refill are overruns.
        EXPECT_EQ(r.report.overruns != 0, (row.statuses.back() & kSgdStatusActive) != 0);
        EXPECT_EQ(r.violations, Strings{});
    }
    // Once the run is over, there is no machine to report on.
    machine::Report none;
    EXPECT_FALSE(machine::Progress(&none));
}

// On the real clock the devices run while the task is at work too: a task that
// sleeps no more still gets its interrupts, from the machine's own thread.
// Leaving a sleep hands the devices to the hardware thread: a sleep before
// the start, the task then releasing the held channel itself, busy as it is;
// or a Wait that a server's signal ends, the server acknowledging and the
// task making no call. The hardware thread passes the seam's points as it
// serves.
TEST_F(RealClock, BusyTask) {
    static std::atomic<int> interrupts;
    using P = machine::SchedulePoint;
    std::mutex seenLock;
    std::set<P> hardware; // the points reached off the task's thread
    const auto main = std::this_thread::get_id();
    const Hook hook([&](P p) {
        if (std::this_thread::get_id() != main) {
            const std::lock_guard<std::mutex> guard(seenLock);
            hardware.insert(p);
        }
    });
    for (const bool serverAcks : {false, true}) {
        SCOPED_TRACE(serverAcks);
        int spun = 0;
        const auto r = OnMachine(
            [&, serverAcks] {
                Open();
                extra = [] { ++interrupts; };
                acks = serverAcks;
                Delay(serverAcks ? 0 : 1);
                Loop();
                if (serverAcks) {
                    Wait(1u << sig); // returns with the next block end not yet due
                }
                interrupts = 0;
                SpinUntil([&] {
                    if (!serverAcks) {
                        WriteRegister8(io + kSgdStatus,
                                       ReadRegister8(io + kSgdStatus) & kSgdStatusBlockEnds);
                    }
                    return interrupts >= 4;
                });
                spun = interrupts; // before Close, whose call would catch up
                Close();
            },
            {.clock = ClockKind::Real, .speed = 20, .report = true});
        EXPECT_GE(spun, 4);
        EXPECT_EQ(r.violations, Strings{});
        // Its spinning is the player's CPU time; what it slept in is not.
        EXPECT_GT(r.report.taskCpuUs, 0u);
        EXPECT_LT(r.report.taskCpuUs, r.report.taskThreadCpuUs);
    }
    // A task that never sleeps: all its CPU time, 5 ms, is its own.
    const auto r = OnMachine(
        [] {
            SpinUntil([from = std::clock()] { return std::clock() - from > CLOCKS_PER_SEC / 200; });
        },
        {.clock = ClockKind::Real, .report = true});
    EXPECT_EQ(r.report.taskCpuUs, r.report.taskThreadCpuUs);
    EXPECT_EQ(hardware, (std::set<P>{P::RunnerTaken, P::RunnerReleased, P::ServersUnlocked,
                                     P::SleepUnlocked}));
    // A Wait that nothing can end is a hang on the real clock too.
    EXPECT_EQ(OnDevice([] { Wait(1u << 20); }, {.clock = ClockKind::Real}).violations,
              Strings{"hang: Wait with nothing that can wake the task"});
}

// The channel keeps the codec's pace on the real clock: a server's
// acknowledgement continues it from the block end that raised the interrupt,
// however late the host woke, so the blocks start at the virtual clock's times.
// The task's own acknowledgement holds it for the real wait (a Delay of 20 ms).
TEST_F(RealClock, KeepsTheCodecsPace) {
    const auto gaps = [this](ClockKind clock, bool serverAcks) {
        const auto r = OnDevice(
            [&] {
                acks = serverAcks;
                Load({kSgdEntryFlag | 4800, kSgdEntryEol | 4800}); // 25 ms each at 48 kHz
                Start();
                for (int i = 0; i < 6; ++i) {
                    Wait(1u << sig);
                    if (!serverAcks) {
                        Delay(1);
                        WriteRegister8(io + kSgdStatus, ReadRegister8(io + kSgdStatus) & 3);
                    }
                }
            },
            {.clock = clock, .speed = 50});
        EXPECT_EQ(r.violations, Strings{});
        // The first six blocks and their interrupts; on the real clock more
        // may follow while the task stops the channel.
        const auto events = Events(r, {"block", "irq"});
        std::vector<std::int64_t> since; // from the first block's start, in µs
        for (std::size_t i = 0; i < std::min<std::size_t>(events.size(), 12); ++i) {
            since.push_back(std::int64_t(events[i].timeUs) - std::int64_t(events[0].timeUs));
        }
        EXPECT_EQ(since.size(), 12u);
        return since;
    };
    const auto kReal = ClockKind::Real, kVirtual = ClockKind::Virtual;
    EXPECT_EQ(gaps(kReal, true), gaps(kVirtual, true));
    const std::vector<std::int64_t> held = gaps(kReal, false), virtualHeld = gaps(kVirtual, false);
    ASSERT_EQ(held.size(), virtualHeld.size());
    for (std::size_t i = 1; i < held.size(); ++i) {
        EXPECT_GE(held[i] - held[i - 1], virtualHeld[i] - virtualHeld[i - 1]) << i;
    }
}

// A task the host wakes late refills late, whoever was slow: its Read lands
// after the block it was meant for has started, an overrun with a slack below
// 0, each marked in the trace. Here the host oversleeps the task's fifth sleep
// by 100 ms of wall time, 200 ms of machine time.
TEST_F(RealClock, ALateTaskOverruns) {
    const auto main = std::this_thread::get_id();
    int sleeps = 0;
    const Hook hook([&](machine::SchedulePoint p) {
        if (p == machine::SchedulePoint::SleepUnlocked && std::this_thread::get_id() == main &&
            ++sleeps == 5) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    const auto r = machine::Run({.clock = ClockKind::Real, .speed = 2}, PlayerMain,
                                {"kestrel", WriteFile("late.raw", Pattern(16 * 6144))});
    EXPECT_GT(r.report.overruns, 0u);
    EXPECT_LT(r.report.slackMinUs, 0);
    EXPECT_EQ(Disagreement(r), "");
}

// Nothing reads machine time before the clock starts: progress asked for the
// moment the machine can be seen is at its start, and the run's time is its
// own, not the host's uptime.
TEST_F(RealClock, ProgressAtPublication) {
    machine::Report published{.timeUs = ~0ull};
    const Hook hook([&](machine::SchedulePoint p) {
        if (p == machine::SchedulePoint::Published) {
            machine::Progress(&published);
        }
    });
    const auto r = OnMachine([] {}, {.clock = ClockKind::Real});
    const auto uptimeUs = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    EXPECT_LE(published.timeUs, r.report.timeUs);
    EXPECT_LT(r.report.timeUs, static_cast<std::uint64_t>(uptimeUs.count()) / 2);
}

// At speed 1 a live device is the codec's crystal: one that has stopped
// playing stops the machine once it is 450 ms ahead of it (its lead and the
// steering beyond it), however long the host leaves the clock unread, and one
// that plays on lets it go on. Stopped so, with the hardware thread held, the
// clock shows the channel fetching each frame as it plays, the last of a block
// too: 9.99 ms into a block of 10, a write to its last frame is not heard.
TEST_F(RealClock, ADeviceKeepsTheTime) {
    struct : machine::DeviceClock {
        std::atomic<std::uint64_t> at{0};
        std::uint64_t PlayingNs() override { return at; }
    } device;
    std::atomic<bool> held{true};
    const Hook hook([&, main = std::this_thread::get_id()](machine::SchedulePoint p) {
        if (p == machine::SchedulePoint::SleepUnlocked && std::this_thread::get_id() != main) {
            SpinUntil([&] { return !held; });
        }
    });
    const auto r = OnDevice(
        [&] {
            Load({kSgdEntryEol | 1920});
            std::this_thread::sleep_for(std::chrono::milliseconds(600));
            EXPECT_LE(machine::TimeUs(), 450000u);
            SpinUntil([] { return machine::TimeUs() >= 449999; });
            Start();
            device.at = 9990000;
            SpinUntil([] { return machine::TimeUs() >= 459989; });
            ReadRegister8(io + kSgdStatus);
            std::fill_n(static_cast<std::uint8_t*>(table) + 64 + 1916, 4, 0);
            device.at = 1000000000;
            Wait(1u << sig);
            held = false;
        },
        {.clock = ClockKind::Real, .deviceClock = &device});
    EXPECT_EQ(Mismatch(Head(r.dac.bytes, 1920), Pattern(1920, 1)), "");
}

// A runner held up in a sink is no hang of the player: the timeout counts the
// machine time the devices have run through. At speed 0.01 the hardware
// thread's first write to the sink takes 600 ms of wall time, 6 ms of machine
// time, while the task waits with a timeout of 2.5 ms; its blocks are 2.1 ms.
TEST_F(RealClock, AHeldSinkIsNoHang) {
    const auto main = std::this_thread::get_id();
    std::atomic<bool> held{false};
    const Hook hook([&](machine::SchedulePoint p) {
        if (p == machine::SchedulePoint::SinkWrite && std::this_thread::get_id() != main &&
            !held.exchange(true)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(600));
        }
    });
    Recorder sink;
    const auto r = OnDevice(
        [&] {
            Loop();
            // Busy, so that the hardware thread feeds the sink.
            SpinUntil([&] { return held.load(); });
            Wait(1u << sig);
        },
        {.clock = ClockKind::Real, .speed = 0.01, .hangTimeoutUs = 2500, .dacSink = &sink});
    EXPECT_TRUE(held);
    EXPECT_EQ(r.violations, Strings{});
}

// The host's signal handlers keep errno, restart the call they interrupt, and
// are waited for by ReleaseHostSignals, so that none writes to a descriptor
// closed after it.
TEST(HostSignals, KeepErrnoRestartAndAreWaitedFor) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    // The wake-up write fails on a pipe's read end.
    machine::CatchHostSignals(fds[0]);
    errno = ERANGE;
    std::raise(SIGTERM);
    EXPECT_EQ(errno, ERANGE);
    machine::ReleaseHostSignals();
    // A read the signal interrupts goes on to get its byte.
    machine::CatchHostSignals(-1);
    ssize_t got = 0;
    std::atomic<pid_t> reader{0};
    std::thread blocked([&] {
        reader = gettid();
        char byte = 0;
        got = read(fds[0], &byte, 1);
    });
    const auto state = [&] {
        const Bytes stat = ReadFile("/proc/self/task/" + std::to_string(reader) + "/stat");
        const auto paren = std::find(stat.rbegin(), stat.rend(), ')');
        return paren - stat.rbegin() >= 2 ? static_cast<char>(*(paren - 2)) : '?';
    };
    SpinUntil([&] { return reader != 0 && state() == 'S'; });
    pthread_kill(blocked.native_handle(), SIGHUP);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    blocked.join();
    EXPECT_EQ(got, 1);
    machine::ReleaseHostSignals();
    // A handler held on another thread, after it read the descriptor and
    // before it writes to it. The descriptor is 0, as it is for a program
    // started with its input closed.
    const int input = dup(0);
    dup2(fds[1], 0);
    machine::CatchHostSignals(0);
    std::atomic<bool> entered{false}, released{false}, raised{false};
    {
        const Hook hook([&](machine::SchedulePoint p) {
            if (p == machine::SchedulePoint::HostSignal) {
                entered = true;
                const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(1);
                while (!released && std::chrono::steady_clock::now() < limit) {
                }
            }
        });
        std::thread signalled([&] { std::raise(SIGINT), raised = true; });
        SpinUntil([&] { return entered || raised; });
        machine::ReleaseHostSignals();
        // The handler's wake-up is written by the time it returns.
        int written = 0;
        ioctl(fds[0], FIONREAD, &written);
        EXPECT_EQ(written, 8);
        released = true;
        signalled.join();
    }
    input >= 0 ? dup2(input, 0) : close(0);
    close(fds[0]);
    close(fds[1]);
}

// Reads give back what the codec keeps of a write: read-only registers and
// bits, the volume fields it has, the extended features it has, and rates
// only with variable-rate audio on at power-on.
TEST_F(Codec, RegistersAndLineOut) {
    struct Row {
        std::uint16_t reg, write, read;
        std::map<std::uint32_t, std::uint16_t> powerOn{};
    };
    const Row rows[] = {
        {.reg = 0x18, .write = 0xFFFF, .read = 0x9F1F},
        {.reg = 0x2C, .write = 7000, .read = 8000},
        {.reg = 0x2A, .write = 0xFFFF, .read = 0x0035},
        // VRA off.
        {.reg = 0x2C, .write = 7000, .read = 48000, .powerOn = {{0x2A, 4}}},
        // No S/PDIF.
        {.reg = 0x2A, .write = 0xFFFF, .read = 0x0001, .powerOn = {{0x28, 0x0801}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << row.reg << " " << row.write);
        std::uint32_t value = 0;
        const auto r = OnDevice(
            [&] {
                WriteCodecRegister(mixerLib, mixer, row.reg, row.write);
                value = ReadCodecRegister(mixerLib, mixer, row.reg);
            },
            {.codecPowerOn = row.powerOn});
        EXPECT_EQ(value, row.read);
        // The run's result has it too.
        EXPECT_EQ(r.codecRegisters.at(row.reg), row.read);
    }
    // Turning VRA off puts the rates back at 48 kHz (BB80h).
    const auto vraOff = OnDevice([&] {
        for (const auto& [reg, value] : {std::pair{0x2A, 1}, {0x2C, 8000}, {0x2A, 0}}) {
            WriteCodecRegister(mixerLib, mixer, reg, value);
        }
    });
    EXPECT_EQ(vraOff.codecRegisters.at(0x2C), 48000);
    // And so does a reset that leaves it off, whatever the rate was.
    const auto reset = OnMachine([] {}, {.vraOn = false, .codecPowerOn = {{0x2C, 44100}}});
    EXPECT_EQ(reset.codecRegisters.at(0x2C), 48000);
    // The line out is the DAC stream through PCM Out Volume: 1.5 dB steps from
    // +12 dB (0) with 8 at 0 dB, saturating; bit 15 mutes. The volume, then a
    // frame in and the frame heard, each left and right.
    using Frame = std::pair<int, int>;
    const std::tuple<std::uint16_t, Frame, Frame> volumes[] = {
        {0x0808, {1000, -1000}, {1000, -1000}},
        {0x8808, {1000, -1000}, {0, 0}},
        {0x1F10, {20000, -32768}, {377, -8231}}};
    for (const auto& [volume, in, heard] : volumes) {
        SCOPED_TRACE(volume);
        const auto r = OnDevice([&] {
            WriteCodecRegister(mixerLib, mixer, 0x18, volume);
            Load({kSgdEntryEol | 400});
            for (int at = 0; at < 400; at += 4) {
                StoreLE32(static_cast<std::uint8_t*>(table) + 64 + at,
                          std::uint16_t(in.first) | std::uint32_t{std::uint16_t(in.second)} << 16);
            }
            Start();
            Wait(1u << sig);
        });
        ASSERT_GE(r.dac.bytes.size(), 400u);
        EXPECT_EQ(std::int16_t(LoadLE16(&r.dac.bytes[396])), heard.first);
        EXPECT_EQ(std::int16_t(LoadLE16(&r.dac.bytes[398])), heard.second);
        EXPECT_EQ(r.dac.segments.at(0).muted, (volume & 0x8000) != 0);
    }
    // Line in starts muted at 0 dB, as a reset leaves it. The vendor ID is
    // VIA's VT1616's: "ICE", then 0x51.
    const auto power = OnMachine([] {}).codecRegisters;
    EXPECT_EQ(power.at(0x10), 0x8808);
    EXPECT_EQ(power.at(0x7C) << 16 | power.at(0x7E), 0x49434551);
}

// Each broken rule is reported.
TEST_F(Checks, EachBrokenRuleIsReported) {
    static int local;
    const std::string active = " while the channel is active";
    const std::string end = " at the end of the run", hang = "hang: Wait with nothing that can "
                                                             "wake the task";
    // What each body, run between Open and Close, breaks. A body is a
    // sequence of calls, some joined by commas to keep the table a table.
    const std::pair<Strings, std::function<void()>> rows[] = {
        // Another device than 1106:3058 is not found, and a run by the rules breaks none.
        {{},
         [&] {
             const TagItem other[] = {{PCIFIND_VENDOR, 0x1234}, {0, 0}};
             EXPECT_EQ(FindPciDevice(pci, nullptr, other), nullptr);
             Loop(), Wait(1u << sig);
         }},
        {{"WritePciConfigByte called in interrupt context"},
         [&] {
             extra = [&] { WritePciConfigByte(pci, dev, 60, 9); };
             Loop(), Wait(1u << sig);
         }},
        {{"codec register 0x3 does not exist"}, [&] { WriteCodecRegister(mixerLib, mixer, 3, 0); }},
        {{"S/PDIF control written while the S/PDIF transmitter is on"},
         [&] { WriteCodecRegister(mixerLib, mixer, 0x3A, 0); }},
        {{"ReadCodecRegister with a base that is not the open ac97mixer.library"},
         [&] { ReadCodecRegister(pci, mixer, 0); }},
        {{"FindPciDevice with a base that is not the open cybpci.library"},
         [&] { FindPciDevice(mixerLib, nullptr, nullptr); }},
        {{"WritePciConfigLong at an offset that is not a dword"},
         [&] { WritePciConfigLong(pci, dev, 0x3E, 0); }},
        {{"WritePciConfigByte outside the configuration space"},
         [&] { WritePciConfigByte(pci, dev, 0x100, 0); }},
        {{"WritePciConfigLong outside the configuration space"},
         [&] { WritePciConfigLong(pci, dev, 0x100, 0); }},
        {{"RemPciIntServer of a handle AddPciIntServer did not return"},
         [&] { RemPciIntServer(pci, &local); }},
        {{"interrupt server removed" + active},
         [&] { Loop(), RemPciIntServer(pci, std::exchange(server, nullptr)); }},
        {{hang}, [&] { Wait(1u << 20); }},
        // The channel held at FLAG: no interrupt will come.
        {{hang}, [&] { acks = false, Loop(), Wait(1u << 20); }},
        {{"hang: no wake-up in 60 s of machine time"}, [&] { Loop(), Wait(1u << 20); }},
        {{"Close of a file that is not open"}, [&] { ::Close(0x4444); }},
        {{"FreeVec of an address AllocVec did not return"}, [&] { FreeVec(&local); }},
        {{"CloseLibrary of a library that is not open"},
         [&] { CloseLibrary(mixerLib), CloseLibrary(std::exchange(mixerLib, nullptr)); }},
        {{"Signal to a task that does not exist"}, [&] { Signal(nullptr, 1); }},
        {{"DMA memory freed" + active}, [&] { Loop(), FreeVec(std::exchange(block, nullptr)); }},
        // Signal 15 is the system's.
        {{"FreeSignal of signal 15, which is not allocated"}, [&] { FreeSignal(15); }},
        // Outside the window a read gives all ones, as on PCI.
        {{"8-bit read at 0xfe00e500, outside the I/O window"},
         [&] { EXPECT_EQ(ReadRegister8(io + kBase0WindowSize), 0xFF); }},
        {{"8-bit write at window offset 0x01 with PCI I/O decoding off"},
         [&] { WritePciConfigLong(pci, dev, kCfgCommand, 4); }},
        {{"32-bit write at window offset 0x01, which has no such access"},
         [&] { WriteRegister32(io + kSgdControl, 0); }},
        {{"8-bit read at window offset 0x05, which has no such access"},
         [&] { EXPECT_EQ(ReadRegister8(io + 5), 0xFF); }},
        {{"channel started with PCI bus mastering disabled"},
         [&] { WritePciConfigLong(pci, dev, kCfgCommand, 1), Loop(); }},
        // A start before the table is set, and a CPU address where a block's
        // bus address belongs (the address follows "0x").
        {{"DMA fetch of a descriptor from unmapped bus address 0x00000000"},
         [&] { WriteRegister8(io + 1, 0x80), Delay(1); }},
        {{"DMA fetch of audio data from unmapped bus address 0x"},
         [&] {
             Load({kSgdEntryEol | 16});
             StoreLE32(table, reinterpret_cast<std::uintptr_t>(table));
             WriteRegister8(io + 1, 0x80), Delay(1);
         }},
        {{"cybpci.library still open" + end}, [&] { OpenLibrary("cybpci.library", 2); }},
        {{"memory block of 12 bytes still allocated" + end}, [&] { AllocVec(12, 0); }},
        {{"signal 30 still allocated" + end}, [&] { AllocSignal(-1); }},
        // More Reads into a block than wait for it to start again: the oldest go.
        {{},
         [&] {
             Loop(), Wait(1u << sig);
             const BPTR f = ::Open(WriteFile("six", Pattern(6)).c_str(), MODE_OLDFILE);
             for (int i = 0; i < 6; ++i) {
                 Read(f, static_cast<char*>(table) + 64, 1);
             }
             ::Close(f), Wait(1u << sig);
             machine::Report p;
             EXPECT_TRUE(machine::Progress(&p));
             EXPECT_EQ(p.slackRefills, 4u);
         }},
        {{"interrupt server still installed" + end}, [&] { server = nullptr; }},
        {{"file " + ScratchPath("leak.bin") + " still open" + end},
         [&] { ::Open(WriteFile("leak.bin", {}).c_str(), 1005); }},
        // The terminate goes nowhere, so the rest comes down with the channel running.
        {{"8-bit write at 0x1, outside the I/O window", "interrupt server removed" + active,
          "DMA memory freed" + active, "channel still running" + end},
         [&] { Loop(), io = 0; }}};
    // Whatever a run leaves open, the host's descriptors are closed after it.
    const auto descriptors = [] {
        const auto all = std::filesystem::directory_iterator("/proc/self/fd");
        return std::distance(std::filesystem::begin(all), std::filesystem::end(all));
    };
    const auto open = descriptors();
    for (const auto& [violations, body] : rows) {
        SCOPED_TRACE(violations.empty() ? "none" : violations[0]);
        const auto r = OnDevice(body);
        EXPECT_EQ(descriptors(), open);
        Strings want = violations;
        if (!want.empty() && want[0].ends_with("0x")) {
            char bus[9];
            std::snprintf(bus, sizeof bus, "%08x", std::uint32_t(std::uintptr_t(table)));
            want[0] += bus;
        }
        EXPECT_EQ(r.violations, want);
        EXPECT_EQ(Events(r, {"violation"}).size(), r.violations.size());
    }
}

// Of the platform's calls, only Signal may come from an interrupt server;
// those that take something still take it. A server cannot wait: its Read,
// slow as the disk is, fails at once.
TEST_F(Checks, OnlySignalFromAServer) {
    BPTR file = 0;
    const auto r = OnDevice(
        [&] {
            file = ::Open(WriteFile("int.bin", Pattern(64)).c_str(), MODE_OLDFILE);
            extra = [&] {
                extra = [] {};
                const std::uint64_t at = machine::TimeUs();
                std::uint8_t bytes[8];
                EXPECT_EQ(Read(file, bytes, 8), -1);
                EXPECT_EQ(machine::TimeUs(), at);
                // Every other call, in the order of their names.
                AddPciIntServer(pci, dev, Server, nullptr, nullptr), AllocSignal(-1),
                    AllocVec(8, 0), ::Close(0), CloseLibrary(nullptr), Delay(0),
                    FindMixer(mixerLib, nullptr, -1, nullptr), FindPciDevice(pci, nullptr, nullptr),
                    FindTask(nullptr), FreeSignal(-1), FreeVec(nullptr),
                    GetPciBusAddress(pci, dev, nullptr), GetPciDeviceAttr(pci, dev, 0),
                    ::Open(nullptr, 0), OpenLibrary("none", 0), Printf("-"),
                    RemPciIntServer(pci, nullptr), Seek(0, 0, 0), SetSignal(0, 0), Wait(0),
                    WritePciConfigByte(pci, dev, 0x40, 0), WritePciConfigLong(pci, dev, 0x40, 0);
            };
            Loop(), Wait(1u << sig);
            ::Close(file);
        },
        {.slowReadMs = {{1, 100}}});
    // Each of the 23 calls, once by name; and what the three that take something took.
    ASSERT_GE(r.violations.size(), 3u);
    std::set<std::string> calls;
    for (const std::string& v : Strings(r.violations.begin(), r.violations.end() - 3)) {
        EXPECT_TRUE(v.ends_with(" called in interrupt context")) << v;
        calls.insert(v.substr(0, v.find(' ')));
    }
    EXPECT_EQ(calls.size(), 23u);
    EXPECT_EQ(Strings(r.violations.end() - 3, r.violations.end()),
              (Strings{"memory block of 8 bytes still allocated at the end of the run",
                       "signal 30 still allocated at the end of the run",
                       "interrupt server still installed at the end of the run"}));
}

// Text fields are JSON: UTF-8 as it is, anything else escaped.
TEST(Trace, Utf8OrEscaped) {
    const std::pair<const char*, const char*> rows[] = {
        {"a\"\\\n\t\x01", "a\\\"\\\\\\n\\t\\u0001"},
        // Valid UTF-8 stays as it is.
        {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xb5\xe2\x80\x80\xef\xbf\xbd", nullptr},
        // Overlong.
        {"\xc0\xaf", "\\u00c0\\u00af"},
        // Overlong, then U+0800.
        {"\xe0\x80\xaf\xe0\xa0\x80", "\\u00e0\\u0080\\u00af\xe0\xa0\x80"},
        // A surrogate.
        {"\xed\xa0\x80", "\\u00ed\\u00a0\\u0080"},
        // Beyond U+10FFFF.
        {"\xf4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080"},
        // Cut short.
        {"\xe2\x82", "\\u00e2\\u0082"},
        // Not a continuation.
        {"\xe2\x28\xa1", "\\u00e2(\\u00a1"},
        {"\x7f\xff", "\\u007f\\u00ff"},
        // Bytes past the continuations.
        {"\xc3\xc0\xf1\xc0\x80\x80", "\\u00c3\\u00c0\\u00f1\\u00c0\\u0080\\u0080"}};
    for (const auto& [text, json] : rows) {
        EXPECT_EQ(machine::JsonEscape(text), json != nullptr ? json : text);
    }
}

// exec, dos and the clock do what they document.
TEST(ExecDosAndClock, Calls) {
    static const std::string path = WriteFile("dos.bin", Pattern(100));
    static BPTR f, p, q;
    static std::uint8_t buf[6144], *mem;
    // A pipe the program peeked 4 bytes of; each run writes 4 more.
    static int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "abcd", 4), 4);
    static const std::string piped = "/dev/fd/" + std::to_string(fds[0]);
    // Each call and what it returns, in order on one machine.
    const std::pair<std::function<std::int64_t()>, std::int64_t> rows[] = {
        // The highest free bit comes first.
        {[] { return AllocSignal(-1); }, 31},
        {[] { return AllocSignal(31); }, -1},
        // Memory not asked to be cleared is not: a player must not count on zeros.
        {[] {
             return mem = static_cast<std::uint8_t*>(AllocVec(8, 0)), std::count(mem, mem + 8, 0);
         },
         0},
        {[] { return AllocVec(0, MEMF_CLEAR) == nullptr; }, 1},
        // The mixer library is version 50.
        {[] { return OpenLibrary("ac97mixer.library", 51) == nullptr; }, 1},
        {[] { return Signal(FindTask(nullptr), 1u << 31), SetSignal(0, 0); }, 1u << 31},
        {[] { return Wait(3u << 30); }, 1u << 31},
        // Ticks of 1/50 s.
        {[] { return Delay(5), machine::TimeUs(); }, 100000},
        // The scripted CTRL-C.
        {[] { return Wait(SIGBREAKF_CTRL_C), machine::TimeUs(); }, 250000},
        // CTRL-C typed on the host, with nothing else due.
        {[] { return std::raise(SIGINT), Wait(SIGBREAKF_CTRL_C); }, SIGBREAKF_CTRL_C},
        // MODE_NEWFILE: host files are read-only.
        {[] { return ::Open(path.c_str(), 1006); }, 0},
        {[] { return (f = ::Open(path.c_str(), MODE_OLDFILE)) != 0; }, 1},
        // A slow Read.
        {[] { return Read(f, buf, 64), machine::TimeUs(); }, 550000},
        {[] { return Read(f, buf, 64); }, 36},
        // A failing Read.
        {[] { return Read(f, buf, 64); }, -1},
        {[] { return Read(f, buf, 64); }, 0},
        // The host's read fails (EIO: address 0 is not mapped).
        {[] { return Read(q = ::Open("/proc/self/mem", MODE_OLDFILE), buf, 8); }, -1},
        // The pipe's host read fails (EAGAIN: see the hook) after as many
        // bytes as were peeked: the Read gives all it got, the peeked bytes
        // first, and the error waits for a Read that gets nothing. 1005 is
        // MODE_OLDFILE.
        {[] { return write(fds[1], "efgh", 4), Read(p = ::Open(piped.c_str(), 1005), buf, 64); },
         8},
        {[] { return std::string(buf, buf + 8) == "abcdefgh" ? Read(p, buf, 64) : 0; }, -1},
        {[] { return Seek(f, 10, OFFSET_BEGINNING); }, 100},
        // No such mode.
        {[] { return Seek(f, 0, 5); }, -1},
        {[] { return Printf("%s=%ld;%ld.\n", "n", -42L, 2147483647L); }, 18},
        {[] { return FreeVec(mem), FreeSignal(31), ::Close(p), ::Close(q), ::Close(f) != 0; }, 1}};
    const auto run = [&] {
        for (std::size_t i = 0; i < std::size(rows); ++i) {
            EXPECT_EQ(rows[i].first(), rows[i].second) << "row " << i;
        }
    };
    machine::Config config{.failReadAt = 3, .slowReadMs = {{1, 300}}, .breakAtUs = 250000};
    config.hostSigint = config.userAtTerminal = true;
    struct stat st {};
    fstat(fds[0], &st);
    config.peeked = {st.st_dev, st.st_ino, Bytes(4)};
    ASSERT_EQ(read(fds[0], config.peeked.bytes.data(), 4), 4);
    // The pipe made non-blocking as its read starts.
    const Hook hook([&](machine::SchedulePoint point) {
        struct stat at {};
        for (int fd = 0; point == machine::SchedulePoint::HostReadUnlocked && fd < 256; ++fd) {
            if (fstat(fd, &at) == 0 && at.st_ino == st.st_ino) {
                fcntl(fd, F_SETFL, O_NONBLOCK);
            }
        }
    });
    struct sigaction host {};
    sigaction(SIGINT, nullptr, &host);
    // A host signal that no Wait took goes with its machine; each machine
    // starts with no host signal counted.
    OnMachine([] { std::raise(SIGINT); }, config);
    OnMachine(run, config);
    const auto r = OnMachine(run, config);
    EXPECT_EQ(r.output, "n=-42;2147483647.\n");
    EXPECT_EQ(Summary(r, {"break"}), Strings(2, "break"));
    EXPECT_EQ(r.violations, Strings{});
    // The host's own handler is back.
    struct sigaction now {};
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, host.sa_handler);
    // A disk reads ahead: ten Reads of a buffer take a host read or two, not
    // one or two each. The host's count of read calls includes its own reads.
    OnMachine([] {
        const auto count = [] {
            const Bytes io = ReadFile("/proc/self/io");
            const std::string text(io.begin(), io.end());
            return std::stoll(text.substr(text.find("syscr: ") + 7));
        };
        const BPTR h = ::Open(WriteFile("ahead.bin", Pattern(61440)).c_str(), MODE_OLDFILE);
        const long long before = count();
        for (int i = 0; i < 10; ++i) {
            Read(h, buf, sizeof buf);
        }
        EXPECT_LT(count() - before, 6);
        ::Close(h);
    });
    close(fds[0]);
    close(fds[1]);
}

} // namespace
