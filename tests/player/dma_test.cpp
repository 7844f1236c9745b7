// The descriptor table, the channel's start and stop sequences, and the
// interrupt server's hand-off.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "frontend/player_state.h"
#include "hw/dma.h"
#include "hw/dma_block.h"
#include "hw/interrupt.h"
#include "platform/cybpci.h"
#include "platform/dos.h"
#include "platform/exec.h"
#include "support/files.h"
#include "support/on_machine.h"
#include "support/player_run.h"

using testing_support::Bytes;

namespace {

using Lines = std::vector<std::string>;

struct Device {
    Library* pci = nullptr;
    void* block = nullptr;
};

// Takes the PCI library, the device and a DMA block as setup does.
Device TakeDevice() {
    Device d;
    d.pci = OpenLibrary("cybpci.library", 1);
    gPlayerState.pciLibrary = d.pci;
    const TagItem tags[] = {{PCIFIND_VENDOR, 0x1106}, {PCIFIND_DEVICE, 0x3058}, {TAG_DONE, 0}};
    gPlayerState.pciDevice = FindPciDevice(d.pci, nullptr, tags);
    // I/O decoding and bus mastering on, as setup does.
    WritePciConfigLong(d.pci, gPlayerState.pciDevice, 0x04, 0x80900005);
    gPlayerState.controllerBase =
        GetPciDeviceAttr(d.pci, gPlayerState.pciDevice, PCIATTR_BASE0) & 0xFFFFFFF0;
    d.block = AllocVec(kDmaBlockSize, MEMF_CLEAR);
    return d;
}

void GiveBack(const Device& d) {
    FreeVec(d.block);
    CloseLibrary(d.pci);
}

Bytes Le32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

TEST(DescriptorTable, LayoutBytesAndTablePointer) {
    std::uintptr_t block = 0, base = 0;
    std::uint32_t bus0 = 0, bus1 = 0, busTable = 0;
    Bytes table;
    std::uintptr_t buffers[2] = {};
    const machine::Result r = testing_support::RunOnMachine([&] {
        ResetPlayerState();
        const Device d = TakeDevice();
        BuildDescriptorTable(d.block);
        block = reinterpret_cast<std::uintptr_t>(d.block);
        buffers[0] = gPlayerState.bufferAddress[0];
        buffers[1] = gPlayerState.bufferAddress[1];
        base = buffers[0] - 0x10;
        auto* b = reinterpret_cast<std::uint8_t*>(base);
        table.assign(b, b + 16);
        bus0 = GetPciBusAddress(d.pci, gPlayerState.pciDevice, b + 0x10);
        bus1 = GetPciBusAddress(d.pci, gPlayerState.pciDevice, b + 0x1810);
        busTable = GetPciBusAddress(d.pci, gPlayerState.pciDevice, b);
        GiveBack(d);
    });
    EXPECT_EQ(base % 16, 0u);
    EXPECT_GE(base, block);
    EXPECT_LE(base + 0x3010, block + 0x3020);
    EXPECT_EQ(buffers[1], base + 0x1810);
    EXPECT_EQ(table,
              testing_support::Concat(
                  {Le32(bus0), {0x00, 0x18, 0x00, 0x40}, Le32(bus1), {0x00, 0x18, 0x00, 0x80}}));
    const auto writes = testing_support::Select(testing_support::ParseTrace(r.trace), "io_write");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].Int("offset"), 0x04);
    EXPECT_EQ(writes[0].Int("width"), 32);
    EXPECT_EQ(writes[0].Int("value"), busTable);
    EXPECT_TRUE(r.violations.empty()) << (r.violations.empty() ? "" : r.violations[0]);
}

TEST(Channel, StartAndStopRegisterSequences) {
    const machine::Result r = testing_support::RunOnMachine([&] {
        ResetPlayerState();
        const Device d = TakeDevice();
        BuildDescriptorTable(d.block);
        StartDma();
        StopDma();
        GiveBack(d);
    });
    const auto trace = testing_support::ParseTrace(r.trace);
    Lines seq = testing_support::Summary(trace, {"io_write", "barrier", "delay"});
    ASSERT_FALSE(seq.empty());
    seq.erase(seq.begin()); // the table pointer
    EXPECT_EQ(seq, (Lines{"io_write32 @00=ffffffff", "io_write8 @02=b3", "barrier",
                          "io_write8 @01=80", "barrier", "io_write8 @01=40", "barrier",
                          "io_write8 @02=0", "barrier", "delay 2"}));
    EXPECT_TRUE(r.violations.empty()) << (r.violations.empty() ? "" : r.violations[0]);
}

TEST(InterruptServer, NothingPendingMeansNothingWritten) {
    std::uint32_t result = 1;
    const machine::Result r = testing_support::RunOnMachine([&] {
        ResetPlayerState();
        const Device d = TakeDevice();
        BuildDescriptorTable(d.block);
        gPlayerState.playerTask.store(FindTask(nullptr));
        result = AudioInterruptServer();
        GiveBack(d);
    });
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(gPlayerState.activeIndex.load(), 0u);
    const auto trace = testing_support::ParseTrace(r.trace);
    const auto reads = testing_support::Select(trace, "io_read");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].Int("offset"), 0);
    EXPECT_EQ(reads[0].Int("value"), 0);
    // Only the table pointer was ever written; no barrier either.
    EXPECT_EQ(testing_support::Select(trace, "io_write").size(), 1u);
    EXPECT_TRUE(testing_support::Select(trace, "barrier").empty());
}

TEST(InterruptServer, AcknowledgesOnlyFlagAndEolAndFlipsOncePerCall) {
    const struct {
        std::uint8_t bits;
        bool active;
        bool armed; // playerTask set
        int ack;    // the value written back, -1 for none
        bool flip;
    } cases[] = {
        {0x00, false, true, -1, false},   {0x01, false, true, 0x01, true},
        {0x02, false, true, 0x02, true},  {0x03, false, true, 0x03, true},
        {0x01, true, true, 0x01, true},   {0x04, false, true, -1, false},
        {0x04, true, true, -1, false},    {0x01, false, false, 0x01, false},
        {0x03, true, false, 0x03, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "status " << int{c.bits} << (c.active ? " active" : "")
                                        << (c.armed ? "" : " unarmed"));
        std::uint32_t result = 1;
        std::uint32_t signals = 0;
        std::uint32_t mask = 0;
        const machine::Result r = testing_support::RunOnMachine([&] {
            ResetPlayerState();
            const Device d = TakeDevice();
            BuildDescriptorTable(d.block);
            if (c.active) {
                StartDma();
            }
            gPlayerState.signalBit = AllocSignal(-1);
            mask = 1u << gPlayerState.signalBit;
            if (c.armed) {
                gPlayerState.playerTask.store(FindTask(nullptr));
            }
            machine::SetChannelStatusBits(c.bits);
            result = AudioInterruptServer();
            signals = SetSignal(0, 0);
            if (c.active) {
                StopDma();
            }
            FreeSignal(gPlayerState.signalBit);
            GiveBack(d);
        });
        EXPECT_EQ(result, 0u);
        EXPECT_EQ(gPlayerState.activeIndex.load(), c.flip ? 1u : 0u);
        EXPECT_EQ((signals & mask) != 0, c.flip);
        const auto trace = testing_support::ParseTrace(r.trace);
        const Lines seq = testing_support::Summary(trace, {"io_read", "io_write", "barrier"});
        const auto read = std::find_if(seq.begin(), seq.end(), [](const std::string& l) {
            return l.rfind("io_read8 @00=", 0) == 0;
        });
        ASSERT_NE(read, seq.end());
        char status[32];
        std::snprintf(status, sizeof status, "io_read8 @00=%x", c.bits | (c.active ? 0x80 : 0));
        EXPECT_EQ(*read, status);
        if (c.ack < 0) {
            // Nothing written and no barrier until the channel is stopped.
            EXPECT_TRUE(read + 1 == seq.end() || *(read + 1) == "io_write8 @01=40");
        } else {
            char ack[32];
            std::snprintf(ack, sizeof ack, "io_write8 @00=%x", c.ack);
            ASSERT_LT(read + 2, seq.end());
            EXPECT_EQ(*(read + 1), ack);
            EXPECT_EQ(*(read + 2), "barrier");
        }
        EXPECT_TRUE(r.violations.empty()) << (r.violations.empty() ? "" : r.violations[0]);
    }
}

TEST(InterruptServer, EachBufferEndIsAcknowledgedFlippedAndSignalled) {
    const auto run = testing_support::RunPlayer(testing_support::Pattern(5 * kTransferBufferSize));
    ASSERT_EQ(run.result.returnCode, 0);
    // Within interrupt context: read status once, write back only FLAG and
    // EOL, signal before the acknowledge, barrier last.
    std::vector<std::string> intSeq;
    for (const auto& e : run.trace) {
        const std::string& ev = e.Ev();
        if (e.Get("ctx") == "int" && (ev == "io_read" || ev == "io_write" || ev == "barrier")) {
            intSeq.push_back(testing_support::Summary({e}, {e.Ev()}).at(0));
        }
    }
    ASSERT_FALSE(intSeq.empty());
    std::size_t handled = 0;
    for (std::size_t i = 0; i < intSeq.size(); ++i) {
        if (intSeq[i].rfind("io_read8 @00=", 0) != 0) {
            continue;
        }
        const unsigned status =
            static_cast<unsigned>(std::stoul(intSeq[i].substr(13), nullptr, 16));
        const unsigned ack = status & 3u;
        ASSERT_NE(ack, 0u);
        ASSERT_LT(i + 2, intSeq.size());
        char expected[32];
        std::snprintf(expected, sizeof expected, "io_write8 @00=%x", ack);
        EXPECT_EQ(intSeq[i + 1], expected);
        EXPECT_EQ(intSeq[i + 2], "barrier");
        ++handled;
    }
    EXPECT_EQ(handled, run.result.report.blocks);
    // One flip per buffer end: after five the index names buffer 1.
    EXPECT_EQ(run.result.report.blocks, 5u);
    EXPECT_EQ(gPlayerState.activeIndex.load(), 1u);
    EXPECT_TRUE(run.result.violations.empty());
}

} // namespace
