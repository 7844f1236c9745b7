// Machine time: determinism of the virtual clock, scripted and host breaks,
// hang detection, overruns, and the real clock with its hardware thread.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>

#include "hw/vt8231.h"
#include "machine/rig.h"
#include "platform/dos.h"
#include "platform/io.h"

namespace {

constexpr std::uint32_t kBlock = 0x1800;

rig::Pci g_pci;
Task* g_task = nullptr;
std::uint32_t g_mask = 0;
std::atomic<int> g_active{0};

std::uint32_t AckServer() {
    const std::uint8_t status = ReadRegister8(g_pci.window + vt8231::kRegStatus);
    if ((status & vt8231::kStatusAck) != 0) {
        g_active.store(g_active.load() ^ 1);
        if (g_task != nullptr) {
            Signal(g_task, g_mask);
        }
        WriteRegister8(g_pci.window + vt8231::kRegStatus, status & vt8231::kStatusAck);
        MemoryBarrier();
    }
    return 0;
}

struct Options {
    bool server = true;
    int wakeUps = 4;
    std::uint32_t waitMask = 0; // added to the server's signal
    bool refill = true;         // read into the idle buffer after each wake-up
    std::string file;
};

// A double-buffered player written from the hardware documentation: two
// blocks, FLAG then EOL, looping; refills the idle buffer on each wake-up.
void Play(const Options& o, std::uint32_t* lastWake = nullptr) {
    rig::Pci pci;
    rig::Dma dma;
    ASSERT_TRUE(rig::OpenPci(pci));
    ASSERT_TRUE(rig::AllocDma(dma, 16 + 2 * kBlock));
    g_pci = pci;
    g_task = nullptr;
    g_active = 0;
    void* server =
        o.server ? AddPciIntServer(pci.library, pci.device, AckServer, nullptr, nullptr) : nullptr;
    std::uint8_t* buffers[2] = {dma.base + 16, dma.base + 16 + kBlock};
    rig::SetDescriptor(dma.base, 0, rig::Bus(pci, buffers[0]), vt8231::kDescFlag | kBlock);
    rig::SetDescriptor(dma.base, 1, rig::Bus(pci, buffers[1]), vt8231::kDescEol | kBlock);
    WriteRegister32(pci.window + vt8231::kRegTablePointer, rig::Bus(pci, dma.base));
    BPTR file = o.file.empty() ? 0 : Open(o.file.c_str(), MODE_OLDFILE);
    if (file != 0) {
        Read(file, buffers[0], kBlock);
    }
    const int bit = AllocSignal(-1);
    g_mask = 1u << bit;
    g_task = FindTask(nullptr);
    SetSignal(0, g_mask | SIGBREAKF_CTRL_C);
    rig::Write32(pci, vt8231::kRegStatus, vt8231::kClearAll);
    rig::Write8(pci, vt8231::kRegType, vt8231::kTypePlayback);
    rig::Write8(pci, vt8231::kRegControl, vt8231::kControlStart);
    int current = 0;
    for (int i = 0; i < o.wakeUps; ++i) {
        if (file != 0 && o.refill) {
            Read(file, buffers[current ^ 1], kBlock);
        }
        const std::uint32_t got = Wait(g_mask | o.waitMask);
        if (lastWake != nullptr) {
            *lastWake = got;
        }
        current = g_active.load();
        if ((got & SIGBREAKF_CTRL_C) != 0) {
            break;
        }
    }
    rig::Write8(pci, vt8231::kRegControl, vt8231::kControlTerminate);
    rig::Write8(pci, vt8231::kRegType, 0);
    Delay(2);
    if (file != 0) {
        Close(file);
    }
    RemPciIntServer(pci.library, server);
    FreeSignal(bit);
    rig::FreeDma(dma);
    rig::ClosePci(pci);
}

TEST(VirtualClock, TwoRunsGiveIdenticalTraces) {
    const machine::Result first = rig::RunOn({}, [] { Play({}); });
    const machine::Result second = rig::RunOn({}, [] { Play({}); });
    EXPECT_TRUE(first.violations.empty()) << first.violations.front();
    EXPECT_GT(first.trace.size(), 40u);
    EXPECT_EQ(first.trace, second.trace);
    EXPECT_EQ(first.report.blocks, 4u);
    EXPECT_EQ(first.report.timeUs, 4 * 32000u + 40000u);
}

TEST(VirtualClock, ScriptedBreakAtAMachineTime) {
    machine::Config config;
    config.breakAtUs = 50000;
    std::uint32_t wake = 0;
    const machine::Result r = rig::RunOn(config, [&] {
        Options o;
        o.wakeUps = 100;
        o.waitMask = SIGBREAKF_CTRL_C;
        Play(o, &wake);
    });
    EXPECT_EQ(wake & SIGBREAKF_CTRL_C, SIGBREAKF_CTRL_C);
    const auto breaks = rig::Lines(r, "break");
    ASSERT_EQ(breaks.size(), 1u);
    EXPECT_EQ(rig::Number(breaks[0], "t"), 50000);
    EXPECT_EQ(r.report.blocks, 1u);
    EXPECT_TRUE(r.violations.empty());
}

TEST(VirtualClock, ScriptedBreakAfterBlockEnds) {
    machine::Config config;
    config.breakAfterBlocks = 3;
    std::uint32_t wake = 0;
    const machine::Result r = rig::RunOn(config, [&] {
        Options o;
        o.wakeUps = 100;
        o.waitMask = SIGBREAKF_CTRL_C;
        Play(o, &wake);
    });
    EXPECT_NE(wake & SIGBREAKF_CTRL_C, 0u);
    EXPECT_EQ(r.report.blocks, 3u);
    EXPECT_EQ(rig::Count(r, "break"), 1);
}

TEST(VirtualClock, HostSigintIsCtrlC) {
    machine::Config config;
    config.hostSigint = true;
    std::uint32_t wake = 0;
    const machine::Result r = rig::RunOn(config, [&] {
        std::raise(SIGINT);
        wake = Wait(SIGBREAKF_CTRL_C);
    });
    EXPECT_EQ(wake, SIGBREAKF_CTRL_C);
    EXPECT_EQ(rig::Count(r, "break"), 1);
    EXPECT_FALSE(r.hung);
}

TEST(VirtualClock, AWaitNothingCanEndIsAHang) {
    struct Case {
        const char* name;
        bool server;
    };
    // Without a server nothing acknowledges the FLAG block: the channel holds
    // and nothing will signal.
    for (const Case c : {Case{"no signal at all", true}, Case{"no interrupt server", false}}) {
        const machine::Result r = rig::RunOn({}, [&] {
            if (c.server) {
                Wait(1u << 20);
            } else {
                Options o;
                o.server = false;
                Play(o);
            }
        });
        EXPECT_TRUE(r.hung) << c.name;
        EXPECT_EQ(r.returnCode, -1) << c.name;
        EXPECT_TRUE(rig::Violated(r, "hang")) << c.name;
    }
}

TEST(VirtualClock, AWaitNoServerSignalEndsIsAHangAfterTheTimeout) {
    machine::Config config;
    config.hangTimeoutUs = 1000000;
    const machine::Result stuck = rig::RunOn(config, [] {
        rig::Pci pci;
        rig::Dma dma;
        ASSERT_TRUE(rig::OpenPci(pci));
        ASSERT_TRUE(rig::AllocDma(dma, 16 + kBlock));
        g_pci = pci;
        g_task = nullptr; // the server acknowledges and never signals
        void* server = AddPciIntServer(pci.library, pci.device, AckServer, nullptr, nullptr);
        rig::SetDescriptor(dma.base, 0, rig::Bus(pci, dma.base + 16), vt8231::kDescEol | kBlock);
        WriteRegister32(pci.window + vt8231::kRegTablePointer, rig::Bus(pci, dma.base));
        rig::Write8(pci, vt8231::kRegType, vt8231::kTypePlayback);
        rig::Write8(pci, vt8231::kRegControl, vt8231::kControlStart);
        Wait(1u << 20);
        (void)server;
    });
    EXPECT_TRUE(stuck.hung);
    EXPECT_TRUE(rig::Violated(stuck, "no wake-up in 1 s"));
    EXPECT_GE(stuck.report.timeUs, 1000000u);
    EXPECT_LT(stuck.report.timeUs, 1100000u);
}

TEST(Overruns, ABufferPlayedAgainWithoutARefillIsCounted) {
    const std::string path = ::testing::TempDir() + "machine_overrun";
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        const std::vector<std::uint8_t> data(10 * kBlock, 0x33);
        std::fwrite(data.data(), 1, data.size(), f);
        std::fclose(f);
    }
    struct Case {
        const char* name;
        bool refill;
        std::map<int, std::uint32_t> slow;
        std::uint64_t overruns;
    };
    const Case cases[] = {
        {"refilled in time", true, {}, 0},
        {"never refilled", false, {}, 5}, // every start after the first two
        {"a refill slower than a buffer", true, {{3, 40}}, 1},
    };
    for (const Case& c : cases) {
        machine::Config config;
        config.slowReadMs = c.slow;
        const machine::Result r = rig::RunOn(config, [&] {
            Options o;
            o.file = path;
            o.refill = c.refill;
            o.wakeUps = 6;
            Play(o);
        });
        EXPECT_EQ(r.report.overruns, c.overruns) << c.name;
        EXPECT_TRUE(r.violations.empty()) << c.name;
    }
}

TEST(RealClock, PlaysAFewBlocksAtHighSpeed) {
    machine::Config config;
    config.clock = machine::ClockKind::Real;
    config.speed = 20.0; // a 32 ms block in 1.6 ms
    const machine::Result r = rig::RunOn(config, [] { Play({}); });
    EXPECT_TRUE(r.violations.empty()) << r.violations.front();
    EXPECT_GE(r.report.blocks, 4u);
    EXPECT_GE(r.report.timeUs, 4 * 32000u);
    EXPECT_GE(r.dac.bytes.size(), 4 * kBlock);
    EXPECT_EQ(rig::Text(rig::Lines(r, "irq").at(0), "ctx"), "int");
}

} // namespace
