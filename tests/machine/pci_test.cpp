// cybpci.library on the machine: the device, its configuration space and
// window, and the bus address space for AllocVec memory.
#include <gtest/gtest.h>

#include "hw/vt8231.h"
#include "machine/rig.h"
#include "platform/byteorder.h"
#include "platform/dos.h"
#include "platform/io.h"

namespace {

TEST(Pci, FindsTheAudioFunctionByVendorAndDevice) {
    struct Case {
        std::uint32_t vendor;
        std::uint32_t device;
        bool found;
    };
    const Case cases[] = {{0x1106, 0x3058, true}, {0x1106, 0x3059, false}, {0x1002, 0x3058, false}};
    for (const Case& c : cases) {
        bool found = false;
        rig::RunOn({}, [&] {
            Library* pci = OpenLibrary("cybpci.library", 1);
            const TagItem tags[] = {
                {PCIFIND_VENDOR, c.vendor}, {PCIFIND_DEVICE, c.device}, {TAG_DONE, 0}};
            found = FindPciDevice(pci, nullptr, tags) != nullptr;
            CloseLibrary(pci);
        });
        EXPECT_EQ(found, c.found) << std::hex << c.vendor << ":" << c.device;
    }
}

TEST(Pci, ConfigurationWritesReachTheConfigurationSpace) {
    std::uint32_t window = 0;
    const machine::Result r = rig::RunOn({}, [&] {
        rig::Pci pci;
        ASSERT_TRUE(rig::OpenPci(pci));
        // Command 0x0005; 0x8090 into status clears the set error bit 15 only.
        WritePciConfigLong(pci.library, pci.device, 4, 0x80900005);
        WritePciConfigByte(pci.library, pci.device, vt8231::kPciInterruptLine, 9);
        window = GetPciDeviceAttr(pci.library, pci.device, PCIATTR_BASE0);
        rig::ClosePci(pci);
    });
    EXPECT_EQ(LoadLE16(&r.pciConfig[4]), 0x0005);
    EXPECT_EQ(LoadLE16(&r.pciConfig[6]), 0x0210);
    EXPECT_EQ(r.pciConfig[0x3C], 9);
    // An I/O window: bit 0 set, the address in the bits above.
    EXPECT_EQ(window & vt8231::kIoSpaceIndicator, 1u);
    EXPECT_NE(window & vt8231::kIoBaseMask, 0u);
    const auto writes = rig::Lines(r, "pci_config_write");
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(rig::Number(writes[1], "offset"), 4);
    EXPECT_EQ(rig::Number(writes[1], "width"), 32);
    EXPECT_EQ(rig::Number(writes[1], "value"), 0x80900005);
    EXPECT_EQ(rig::Number(writes[2], "offset"), 0x3C);
    EXPECT_EQ(rig::Number(writes[2], "width"), 8);
    EXPECT_EQ(rig::Number(writes[2], "value"), 9);
}

TEST(Pci, BusAddressesAreNotCpuAddresses) {
    std::uint32_t a = 0;
    std::uint32_t aPlus100 = 0;
    std::uint32_t b = 0;
    std::uint32_t stack = 1;
    std::uintptr_t cpuA = 0;
    std::uintptr_t cpuB = 0;
    rig::RunOn({}, [&] {
        rig::Pci pci;
        ASSERT_TRUE(rig::OpenPci(pci));
        auto* blockA = static_cast<std::uint8_t*>(AllocVec(0x3020, MEMF_CLEAR));
        auto* blockB = static_cast<std::uint8_t*>(AllocVec(0x3020, MEMF_CLEAR));
        cpuA = reinterpret_cast<std::uintptr_t>(blockA);
        cpuB = reinterpret_cast<std::uintptr_t>(blockB);
        a = rig::Bus(pci, blockA);
        aPlus100 = rig::Bus(pci, blockA + 100);
        b = rig::Bus(pci, blockB);
        int local = 0;
        stack = rig::Bus(pci, &local);
        FreeVec(blockA);
        FreeVec(blockB);
        rig::ClosePci(pci);
    });
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, static_cast<std::uint32_t>(cpuA));
    EXPECT_NE(b, static_cast<std::uint32_t>(cpuB));
    EXPECT_EQ(aPlus100, a + 100);
    // Separate blocks lie apart on the bus, with unmapped space between.
    EXPECT_GT(b, a + 0x3020);
    // Only AllocVec memory has a bus address.
    EXPECT_EQ(stack, 0u);
}

TEST(Pci, TheChannelReachesOnlyMappedMemory) {
    struct Case {
        const char* name;
        bool cpuAddressInDescriptor;
        bool cpuAddressAsTable;
        bool freedFirst;
    };
    const Case cases[] = {{"bus addresses", false, false, false},
                          {"CPU address in a descriptor", true, false, false},
                          {"CPU address as the table pointer", false, true, false},
                          {"freed memory", false, false, true}};
    for (const Case& c : cases) {
        std::uint8_t status = 0;
        const machine::Result r = rig::RunOn({}, [&] {
            rig::Pci pci;
            rig::Dma dma;
            ASSERT_TRUE(rig::OpenPci(pci));
            ASSERT_TRUE(rig::AllocDma(dma, 16 + 0x100));
            std::uint8_t* buffer = dma.base + 16;
            const auto cpuBuffer =
                static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(buffer));
            rig::SetDescriptor(dma.base, 0,
                               c.cpuAddressInDescriptor ? cpuBuffer : rig::Bus(pci, buffer),
                               vt8231::kDescEol | 0x100);
            const std::uint32_t table =
                c.cpuAddressAsTable
                    ? static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(dma.base))
                    : rig::Bus(pci, dma.base);
            WriteRegister32(pci.window + vt8231::kRegTablePointer, table);
            if (c.freedFirst) {
                rig::FreeDma(dma);
            }
            rig::Write8(pci, vt8231::kRegType, vt8231::kType16Bit | vt8231::kTypeStereo);
            rig::Write8(pci, vt8231::kRegControl, vt8231::kControlStart);
            Delay(5);
            status = rig::Read8(pci, vt8231::kRegStatus);
            if (!c.freedFirst) {
                rig::FreeDma(dma);
            }
            rig::ClosePci(pci);
        });
        const bool good = !c.cpuAddressInDescriptor && !c.cpuAddressAsTable && !c.freedFirst;
        EXPECT_EQ(rig::Violated(r, "unmapped bus address"), !good) << c.name;
        EXPECT_EQ(r.dac.bytes.size(), good ? 0x100u : 0u) << c.name;
        EXPECT_EQ(status & vt8231::kStatusActive, 0) << c.name;
        EXPECT_EQ(r.violations.size(), good ? 0u : 1u) << c.name;
    }
}

TEST(Pci, InterruptServersAreCalledInInterruptContext) {
    static int s_calls = 0;
    s_calls = 0;
    struct Server {
        static std::uint32_t Run() {
            ++s_calls;
            return 0;
        }
    };
    const machine::Result r = rig::RunOn({}, [&] {
        rig::Pci pci;
        rig::Dma dma;
        ASSERT_TRUE(rig::OpenPci(pci));
        ASSERT_TRUE(rig::AllocDma(dma, 16 + 0x100));
        void* handle = AddPciIntServer(pci.library, pci.device, Server::Run, nullptr, nullptr);
        rig::SetDescriptor(dma.base, 0, rig::Bus(pci, dma.base + 16), vt8231::kDescEol | 0x100);
        WriteRegister32(pci.window + vt8231::kRegTablePointer, rig::Bus(pci, dma.base));
        rig::Write8(pci, vt8231::kRegType,
                    vt8231::kType16Bit | vt8231::kTypeStereo | vt8231::kTypeIntEol);
        rig::Write8(pci, vt8231::kRegControl, vt8231::kControlStart);
        Delay(5);
        RemPciIntServer(pci.library, handle);
        RemPciIntServer(pci.library, nullptr);
        rig::FreeDma(dma);
        rig::ClosePci(pci);
    });
    EXPECT_EQ(s_calls, 1);
    const auto irqs = rig::Lines(r, "irq");
    ASSERT_EQ(irqs.size(), 1u);
    EXPECT_EQ(rig::Text(irqs[0], "ctx"), "int");
    EXPECT_EQ(rig::Number(irqs[0], "status"), vt8231::kStatusEol);
    EXPECT_EQ(rig::Count(r, "int_server_add"), 1);
    EXPECT_EQ(rig::Count(r, "int_server_remove"), 2);
    EXPECT_TRUE(r.violations.empty());
}

TEST(Pci, EveryRegisterAccessIsTracedWithOffsetWidthAndValue) {
    const machine::Result r = rig::RunOn({}, [] {
        rig::Pci pci;
        ASSERT_TRUE(rig::OpenPci(pci));
        WriteRegister32(pci.window + vt8231::kRegTablePointer, 0x12345678);
        WriteRegister8(pci.window + vt8231::kRegType, 0xB3);
        MemoryBarrier();
        ReadRegister8(pci.window + vt8231::kRegType);
        rig::ClosePci(pci);
    });
    std::vector<std::string> io;
    for (const std::string& line : r.trace) {
        const std::string event = rig::Event(line);
        if (event == "io_read" || event == "io_write" || event == "barrier") {
            io.push_back(line.substr(line.find("\"ev\"")));
        }
    }
    const std::vector<std::string> expected = {
        R"("ev":"io_write","offset":4,"width":32,"value":305419896})",
        R"("ev":"io_write","offset":2,"width":8,"value":179})",
        R"("ev":"barrier"})",
        R"("ev":"io_read","offset":2,"width":8,"value":179})",
    };
    EXPECT_EQ(io, expected);
    EXPECT_EQ(r.channel.tablePointer, 0x12345678u);
}

} // namespace
