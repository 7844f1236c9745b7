// The VT8231 SGD playback channel, driven through its registers as a driver
// would: descriptor walking, status bits, interrupts, pause, terminate.
#include <gtest/gtest.h>

#include <algorithm>

#include "hw/vt8231.h"
#include "machine/rig.h"
#include "platform/dos.h"
#include "platform/io.h"

namespace {

using rig::Count;
using rig::Lines;
using rig::Number;

constexpr std::uint32_t kBlock = 0x1800; // 1536 frames, 32 ms at 48 kHz

// Two blocks after a 16-byte table, in one DMA area.
struct Stage {
    rig::Pci pci;
    rig::Dma dma;
    std::uint8_t* table = nullptr;
    std::uint8_t* buffer[2] = {};
    std::uint32_t bus[2] = {};
};

// The interrupt server reads these; tests run one at a time.
rig::Pci g_pci;
Task* g_task = nullptr;
std::uint32_t g_mask = 0;
std::vector<std::uint8_t> g_statusSeen;

std::uint32_t AckServer() {
    const std::uint8_t status = ReadRegister8(g_pci.window + vt8231::kRegStatus);
    g_statusSeen.push_back(status);
    if ((status & vt8231::kStatusAck) != 0) {
        if (g_task != nullptr) {
            Signal(g_task, g_mask);
        }
        WriteRegister8(g_pci.window + vt8231::kRegStatus, status & vt8231::kStatusAck);
        MemoryBarrier();
    }
    return 0;
}

void Open(Stage& s, std::uint32_t flags0, std::uint32_t flags1) {
    ASSERT_TRUE(rig::OpenPci(s.pci));
    ASSERT_TRUE(rig::AllocDma(s.dma, 16 + 2 * kBlock));
    s.table = s.dma.base;
    for (int i = 0; i < 2; ++i) {
        s.buffer[i] = s.dma.base + 16 + i * kBlock;
        s.bus[i] = rig::Bus(s.pci, s.buffer[i]);
        std::fill(s.buffer[i], s.buffer[i] + kBlock, static_cast<std::uint8_t>(0x10 + i));
    }
    rig::SetDescriptor(s.table, 0, s.bus[0], flags0 | kBlock);
    rig::SetDescriptor(s.table, 1, s.bus[1], flags1 | kBlock);
    WriteRegister32(s.pci.window + vt8231::kRegTablePointer, rig::Bus(s.pci, s.table));
    g_pci = s.pci;
    g_task = nullptr;
    g_statusSeen.clear();
}

void StartWithType(const Stage& s, std::uint8_t type) {
    rig::Write32(s.pci, vt8231::kRegStatus, vt8231::kClearAll);
    rig::Write8(s.pci, vt8231::kRegType, type);
    rig::Write8(s.pci, vt8231::kRegControl, vt8231::kControlStart);
}

void Close(Stage& s, void* server = nullptr) {
    rig::Write8(s.pci, vt8231::kRegControl, vt8231::kControlTerminate);
    RemPciIntServer(s.pci.library, server);
    rig::FreeDma(s.dma);
    rig::ClosePci(s.pci);
}

std::vector<std::int64_t> BlockBuffers(const machine::Result& r) {
    std::vector<std::int64_t> buffers;
    for (const std::string& line : Lines(r, "block")) {
        buffers.push_back(Number(line, "buffer"));
    }
    return buffers;
}

TEST(Channel, WalksTheTableAndLoopsAfterEol) {
    Stage s;
    const machine::Result r = rig::RunOn({}, [&] {
        Open(s, vt8231::kDescFlag, vt8231::kDescEol);
        void* server = AddPciIntServer(s.pci.library, s.pci.device, AckServer, nullptr, nullptr);
        g_mask = 1u << AllocSignal(-1);
        g_task = FindTask(nullptr);
        StartWithType(s, vt8231::kTypePlayback);
        for (int i = 0; i < 5; ++i) {
            Wait(g_mask);
        }
        Close(s, server);
        FreeSignal(31);
    });
    EXPECT_TRUE(r.violations.empty()) << r.violations.front();
    const std::vector<std::int64_t> expected = {s.bus[0], s.bus[1], s.bus[0],
                                                s.bus[1], s.bus[0], s.bus[1]};
    EXPECT_EQ(BlockBuffers(r), expected);
    const auto blocks = Lines(r, "block");
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(Number(blocks[i], "bytes"), kBlock);
        EXPECT_EQ(Number(blocks[i], "t") - Number(blocks[0], "t"),
                  static_cast<std::int64_t>(i) * 32000);
    }
    // FLAG after buffer 0, EOL after buffer 1, ACTIVE throughout.
    const std::vector<std::uint8_t> statuses = {0x81, 0x82, 0x81, 0x82, 0x81};
    EXPECT_EQ(g_statusSeen, statuses);
    EXPECT_EQ(r.report.blocks, 5u);
}

TEST(Channel, StopsAfterEolWithoutTheLoopBit) {
    std::uint8_t status = 0;
    const machine::Result r = rig::RunOn({}, [&] {
        Stage s;
        Open(s, 0, vt8231::kDescEol);
        StartWithType(s, vt8231::kType16Bit | vt8231::kTypeStereo);
        Delay(10);
        status = rig::Read8(s.pci, vt8231::kRegStatus);
        Close(s);
    });
    EXPECT_EQ(status, vt8231::kStatusEol); // EOL set, ACTIVE clear
    EXPECT_EQ(Count(r, "block"), 2);
    EXPECT_EQ(r.report.blocks, 2u);
    EXPECT_EQ(r.dac.bytes.size(), 2 * kBlock);
    EXPECT_EQ(Count(r, "irq"), 0);
}

TEST(Channel, StatusBitsAreWriteOneToClear) {
    struct Step {
        std::uint8_t write;
        std::uint8_t expect;
    };
    // From FLAG | EOL set with the channel stopped.
    const Step steps[] = {{0x00, 0x03}, {0x80, 0x03}, {0x04, 0x03},
                          {0x01, 0x02}, {0x01, 0x02}, {0x02, 0x00}};
    std::vector<std::uint8_t> seen;
    rig::RunOn({}, [&] {
        Stage s;
        Open(s, vt8231::kDescFlag | vt8231::kDescEol, 0);
        StartWithType(s, vt8231::kType16Bit | vt8231::kTypeStereo);
        Delay(5);
        seen.push_back(rig::Read8(s.pci, vt8231::kRegStatus));
        for (const Step& step : steps) {
            rig::Write8(s.pci, vt8231::kRegStatus, step.write);
            seen.push_back(rig::Read8(s.pci, vt8231::kRegStatus));
        }
        Close(s);
    });
    ASSERT_EQ(seen.size(), std::size(steps) + 1);
    EXPECT_EQ(seen[0], 0x03);
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        EXPECT_EQ(seen[i + 1], steps[i].expect) << "after writing " << int{steps[i].write};
    }
}

TEST(Channel, TypeBitsEnableTheInterrupts) {
    struct Case {
        std::uint8_t intBits;
        int irqs;
        std::vector<std::uint8_t> statuses;
    };
    const Case cases[] = {
        {0x00, 0, {}}, {0x01, 1, {0x81}}, {0x02, 1, {0x02}}, {0x03, 2, {0x81, 0x02}}};
    for (const Case& c : cases) {
        const machine::Result r = rig::RunOn({}, [&] {
            Stage s;
            Open(s, vt8231::kDescFlag, vt8231::kDescEol);
            void* server =
                AddPciIntServer(s.pci.library, s.pci.device, AckServer, nullptr, nullptr);
            StartWithType(
                s, static_cast<std::uint8_t>(vt8231::kType16Bit | vt8231::kTypeStereo | c.intBits));
            // Acknowledge by polling what the server does not.
            for (int i = 0; i < 10; ++i) {
                Delay(1);
                const std::uint8_t status = rig::Read8(s.pci, vt8231::kRegStatus);
                rig::Write8(s.pci, vt8231::kRegStatus, status & vt8231::kStatusAck);
            }
            Close(s, server);
        });
        EXPECT_EQ(Count(r, "irq"), c.irqs) << "type bits " << int{c.intBits};
        EXPECT_EQ(g_statusSeen, c.statuses) << "type bits " << int{c.intBits};
        EXPECT_EQ(r.report.blocks, 2u);
        EXPECT_TRUE(r.violations.empty()) << r.violations.front();
    }
}

TEST(Channel, HoldsAfterAFlagBlockUntilAcknowledged) {
    std::uint8_t held = 0;
    std::uint64_t ackUs = 0;
    const machine::Result r = rig::RunOn({}, [&] {
        Stage s;
        Open(s, vt8231::kDescFlag, vt8231::kDescEol);
        StartWithType(s, vt8231::kType16Bit | vt8231::kTypeStereo);
        Delay(50); // a second: far longer than both blocks
        held = rig::Read8(s.pci, vt8231::kRegStatus);
        ackUs = machine::TimeUs();
        rig::Write8(s.pci, vt8231::kRegStatus, vt8231::kStatusFlag);
        Delay(5);
        Close(s);
    });
    EXPECT_EQ(held, vt8231::kStatusActive | vt8231::kStatusFlag);
    const auto blocks = Lines(r, "block");
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(static_cast<std::uint64_t>(Number(blocks[1], "t")), ackUs);
    EXPECT_EQ(r.dac.bytes.size(), 2 * kBlock);
}

TEST(Channel, TerminateStopsAtOnceAndKeepsTheStatusBits) {
    std::uint8_t afterMidBlockStop = 0;
    std::uint8_t afterHeldStop = 0;
    const machine::Result r = rig::RunOn({}, [&] {
        Stage s;
        Open(s, vt8231::kDescFlag, vt8231::kDescEol);
        StartWithType(s, vt8231::kType16Bit | vt8231::kTypeStereo);
        Delay(50); // held after buffer 0 with FLAG set
        rig::Write8(s.pci, vt8231::kRegControl, vt8231::kControlTerminate);
        afterHeldStop = rig::Read8(s.pci, vt8231::kRegStatus);
        rig::Write8(s.pci, vt8231::kRegStatus, vt8231::kStatusAck);
        rig::Write8(s.pci, vt8231::kRegControl, vt8231::kControlStart);
        SetSignal(0, 0);
        Delay(1); // 20 ms into buffer 0
        rig::Write8(s.pci, vt8231::kRegControl, vt8231::kControlTerminate);
        afterMidBlockStop = rig::Read8(s.pci, vt8231::kRegStatus);
        Delay(50);
        Close(s);
    });
    EXPECT_EQ(afterHeldStop, vt8231::kStatusFlag);
    EXPECT_EQ(afterMidBlockStop, 0);
    // One whole buffer, then 20 ms (and the 1 ms slice fetched at 20 ms).
    EXPECT_EQ(r.dac.bytes.size(), kBlock + 21 * 48 * 4);
}

TEST(Channel, DwordWriteAtZeroActsOnAllFourByteRegisters) {
    std::uint8_t statusAfterClear = 0xEE;
    std::uint8_t typeAfterClear = 0;
    std::uint8_t typeAfterStart = 0;
    std::uint8_t statusAfterStart = 0;
    const machine::Result r = rig::RunOn({}, [&] {
        Stage s;
        Open(s, vt8231::kDescFlag, vt8231::kDescEol);
        StartWithType(s, vt8231::kType16Bit | vt8231::kTypeStereo);
        Delay(50); // held with FLAG
        // Start and terminate together leave the channel idle; FLAG clears.
        rig::Write32(s.pci, vt8231::kRegStatus, vt8231::kClearAll);
        statusAfterClear = rig::Read8(s.pci, vt8231::kRegStatus);
        typeAfterClear = rig::Read8(s.pci, vt8231::kRegType);
        Delay(50);
        // Type 0x30 and start in one store: bytes 00 80 30 00.
        rig::Write32(s.pci, vt8231::kRegStatus, 0x00308000);
        typeAfterStart = rig::Read8(s.pci, vt8231::kRegType);
        statusAfterStart = rig::Read8(s.pci, vt8231::kRegStatus);
        Close(s);
    });
    EXPECT_EQ(statusAfterClear, 0);
    EXPECT_EQ(typeAfterClear, 0xFF);
    EXPECT_EQ(typeAfterStart, 0x30);
    EXPECT_EQ(statusAfterStart, vt8231::kStatusActive);
    EXPECT_EQ(Count(r, "block"), 2); // buffer 0, then buffer 0 again after the restart
    EXPECT_TRUE(r.violations.empty());
}

TEST(Channel, FetchesProgressivelySoARewriteIsHeard) {
    const machine::Result r = rig::RunOn({}, [&] {
        Stage s;
        Open(s, 0, vt8231::kDescEol);
        std::fill(s.buffer[0], s.buffer[0] + kBlock, std::uint8_t{0});
        StartWithType(s, vt8231::kType16Bit | vt8231::kTypeStereo);
        Delay(1);
        std::fill(s.buffer[0], s.buffer[0] + kBlock, std::uint8_t{0x77});
        Delay(10);
        Close(s);
    });
    ASSERT_EQ(r.dac.bytes.size(), 2 * kBlock);
    const auto begin = r.dac.bytes.begin();
    // Up to 21 ms had been fetched when the buffer was rewritten at 20 ms.
    EXPECT_TRUE(std::all_of(begin, begin + 21 * 192, [](std::uint8_t b) { return b == 0; }));
    EXPECT_TRUE(
        std::all_of(begin + 21 * 192, begin + kBlock, [](std::uint8_t b) { return b == 0x77; }));
    EXPECT_TRUE(
        std::all_of(begin + kBlock, r.dac.bytes.end(), [](std::uint8_t b) { return b == 0x11; }));
}

TEST(Channel, ReadsDescriptorsLittleEndianOverTheBus) {
    const machine::Result r = rig::RunOn({}, [&] {
        Stage s;
        Open(s, 0, 0);
        // Length 0x000100 with EOL, written byte by byte in address order.
        const std::uint8_t bytes[8] = {static_cast<std::uint8_t>(s.bus[1]),
                                       static_cast<std::uint8_t>(s.bus[1] >> 8),
                                       static_cast<std::uint8_t>(s.bus[1] >> 16),
                                       static_cast<std::uint8_t>(s.bus[1] >> 24),
                                       0x00,
                                       0x01,
                                       0x00,
                                       0x80};
        std::copy(bytes, bytes + 8, s.table);
        StartWithType(s, vt8231::kType16Bit | vt8231::kTypeStereo);
        Delay(5);
        Close(s);
    });
    const auto blocks = Lines(r, "block");
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(Number(blocks[0], "bytes"), 0x100);
    EXPECT_EQ(r.dac.bytes.size(), 0x100u);
    EXPECT_EQ(r.channel.status, vt8231::kStatusEol);
}

} // namespace
