// The machine's fault switches and its checks of the platform's rules: each
// must be seen to act.
#include <gtest/gtest.h>

#include "hw/ac97.h"
#include "hw/vt8231.h"
#include "machine/rig.h"
#include "platform/dos.h"
#include "platform/io.h"

namespace {

TEST(Faults, EachSwitchMakesItsCallFail) {
    struct Case {
        machine::Fault fault;
        const char* name;
        std::function<bool()> works; // true when the call succeeded
    };
    const TagItem none[] = {{TAG_DONE, 0}};
    auto pciStep = [](auto step) {
        return [step] {
            rig::Pci pci;
            const bool opened = rig::OpenPci(pci) || pci.device != nullptr;
            const bool ok = opened && step(pci);
            rig::ClosePci(pci);
            return ok;
        };
    };
    const Case cases[] = {
        {machine::Fault::MixerLibrary, "mixer library",
         [] {
             Library* l = OpenLibrary("ac97mixer.library", 0);
             CloseLibrary(l);
             return l != nullptr;
         }},
        {machine::Fault::MixerLibraryOld, "mixer library version",
         [] {
             Library* old = OpenLibrary("ac97mixer.library", 49);
             Library* l = OpenLibrary("ac97mixer.library", 50);
             CloseLibrary(old);
             CloseLibrary(l);
             return old == nullptr || l != nullptr;
         }},
        {machine::Fault::Mixer, "mixer",
         [&none] {
             Library* l = OpenLibrary("ac97mixer.library", 50);
             const bool ok = FindMixer(l, nullptr, -1, none) != nullptr;
             CloseLibrary(l);
             return ok;
         }},
        {machine::Fault::PciLibrary, "PCI library",
         [] {
             Library* l = OpenLibrary("cybpci.library", 1);
             CloseLibrary(l);
             return l != nullptr;
         }},
        {machine::Fault::Device, "device",
         pciStep([](rig::Pci& pci) { return pci.device != nullptr; })},
        {machine::Fault::Memory, "memory",
         [] {
             void* p = AllocVec(16, MEMF_CLEAR);
             FreeVec(p);
             return p != nullptr;
         }},
        {machine::Fault::IntServer, "interrupt server", pciStep([](rig::Pci& pci) {
             void* h = AddPciIntServer(
                 pci.library, pci.device, [] { return 0u; }, nullptr, nullptr);
             RemPciIntServer(pci.library, h);
             return h != nullptr;
         })},
        {machine::Fault::IoWindow, "I/O window", pciStep([](rig::Pci& pci) {
             return GetPciDeviceAttr(pci.library, pci.device, PCIATTR_BASE0) != 0;
         })},
        {machine::Fault::Signal, "signal",
         [] {
             const int bit = AllocSignal(-1);
             FreeSignal(bit);
             return bit != -1;
         }},
    };
    for (const Case& c : cases) {
        bool healthy = false;
        bool faulty = true;
        const machine::Result good = rig::RunOn({}, [&] { healthy = c.works(); });
        machine::Config config;
        config.faults.insert(c.fault);
        const machine::Result bad = rig::RunOn(config, [&] { faulty = c.works(); });
        EXPECT_TRUE(healthy) << c.name;
        EXPECT_FALSE(faulty) << c.name;
        EXPECT_TRUE(good.violations.empty()) << c.name << ": " << good.violations.front();
        EXPECT_TRUE(bad.violations.empty()) << c.name << ": " << bad.violations.front();
    }
}

// Run on a stage with the PCI library open and the device set up.
rig::Pci g_pci;
std::function<void()> g_inInterrupt;

std::uint32_t CallingServer() {
    if (g_inInterrupt) {
        g_inInterrupt();
    }
    WriteRegister8(g_pci.window + vt8231::kRegStatus, vt8231::kStatusAck);
    return 0;
}

struct Stage {
    rig::Pci pci;
    rig::Dma dma;
    void* server = nullptr;
};

void SetUpStage(Stage& s) {
    ASSERT_TRUE(rig::OpenPci(s.pci));
    ASSERT_TRUE(rig::AllocDma(s.dma, 16 + 0x1000));
    g_pci = s.pci;
    s.server = AddPciIntServer(s.pci.library, s.pci.device, CallingServer, nullptr, nullptr);
    rig::SetDescriptor(s.dma.base, 0, rig::Bus(s.pci, s.dma.base + 16), vt8231::kDescFlag | 0x1000);
    rig::SetDescriptor(s.dma.base, 1, rig::Bus(s.pci, s.dma.base + 16), vt8231::kDescEol | 0x1000);
    WriteRegister32(s.pci.window + vt8231::kRegTablePointer, rig::Bus(s.pci, s.dma.base));
}

void StartStage(Stage& s) {
    rig::Write8(s.pci, vt8231::kRegType, vt8231::kTypePlayback);
    rig::Write8(s.pci, vt8231::kRegControl, vt8231::kControlStart);
}

void TearDownStage(Stage& s) {
    rig::Write8(s.pci, vt8231::kRegControl, vt8231::kControlTerminate);
    RemPciIntServer(s.pci.library, s.server);
    rig::FreeDma(s.dma);
    rig::ClosePci(s.pci);
}

TEST(Checks, EachRuleBrokenIsAViolation) {
    struct Case {
        const char* expected;
        std::function<void(Stage&)> body; // runs between set-up and tear-down
        std::function<void()> inInterrupt;
    };
    const Case cases[] = {
        {"cybpci.library still open",
         [](Stage& s) {
             OpenLibrary("cybpci.library", 1);
             (void)s;
         },
         nullptr},
        {"memory block of 32 bytes still allocated", [](Stage&) { AllocVec(32, 0); }, nullptr},
        {"signal 31 still allocated", [](Stage&) { AllocSignal(-1); }, nullptr},
        {"interrupt server still installed",
         [](Stage& s) {
             AddPciIntServer(s.pci.library, s.pci.device, CallingServer, nullptr, nullptr);
         },
         nullptr},
        {"FreeVec of an address AllocVec did not return",
         [](Stage& s) { FreeVec(s.dma.base + 16); }, nullptr},
        {"DMA memory freed while the channel is active",
         [](Stage& s) {
             StartStage(s);
             Delay(1);
             rig::FreeDma(s.dma);
             s.dma.block = nullptr;
         },
         nullptr},
        {"interrupt server removed while the channel is active",
         [](Stage& s) {
             StartStage(s);
             RemPciIntServer(s.pci.library, s.server);
             s.server = nullptr;
         },
         nullptr},
        {"AllocVec called in interrupt context",
         [](Stage& s) {
             StartStage(s);
             Delay(5);
         },
         [] { FreeVec(AllocVec(8, 0)); }},
        {"Printf called in interrupt context",
         [](Stage& s) {
             StartStage(s);
             Delay(5);
         },
         [] { Printf("x"); }},
        {"outside the I/O window",
         [](Stage& s) { ReadRegister8(s.pci.window + vt8231::kWindowSize); }, nullptr},
        {"32-bit write at window offset 0x02",
         [](Stage& s) { WriteRegister32(s.pci.window + vt8231::kRegType, 0); }, nullptr},
        {"8-bit write at window offset 0x04",
         [](Stage& s) { WriteRegister8(s.pci.window + vt8231::kRegTablePointer, 0); }, nullptr},
        {"8-bit read at window offset 0x03", [](Stage& s) { ReadRegister8(s.pci.window + 3); },
         nullptr},
        {"with PCI I/O decoding off",
         [](Stage& s) {
             WritePciConfigLong(s.pci.library, s.pci.device, vt8231::kPciCommand, 0);
             ReadRegister8(s.pci.window);
             WritePciConfigLong(s.pci.library, s.pci.device, vt8231::kPciCommand,
                                rig::kCommandIoAndMaster);
         },
         nullptr},
        {"PCI bus mastering disabled",
         [](Stage& s) {
             WritePciConfigLong(s.pci.library, s.pci.device, vt8231::kPciCommand,
                                vt8231::kCommandIoSpace);
             StartStage(s);
         },
         nullptr},
        {"unmapped bus address",
         [](Stage& s) {
             WriteRegister32(s.pci.window + vt8231::kRegTablePointer, 0x10);
             StartStage(s);
         },
         nullptr},
        {"hang", [](Stage&) { Wait(1u << 25); }, nullptr},
        {"CloseLibrary of a library that is not open",
         [](Stage& s) {
             CloseLibrary(s.pci.library);
             OpenLibrary("cybpci.library", 1);
             Library* mixer = OpenLibrary("ac97mixer.library", 50);
             CloseLibrary(mixer);
             CloseLibrary(mixer);
         },
         nullptr},
        {"S/PDIF control written while the S/PDIF transmitter is on",
         [](Stage&) {
             Library* l = OpenLibrary("ac97mixer.library", 50);
             const TagItem none[] = {{TAG_DONE, 0}};
             Mixer* mixer = FindMixer(l, nullptr, -1, none);
             WriteCodecRegister(l, mixer, ac97::kSpdifControl, 0x2000);
             CloseLibrary(l);
         },
         nullptr},
        {"with a base that is not the open cybpci.library",
         [](Stage& s) {
             GetPciDeviceAttr(reinterpret_cast<Library*>(&s), s.pci.device, PCIATTR_BASE0);
         },
         nullptr},
        {"file /dev/null still open", [](Stage&) { Open("/dev/null", MODE_OLDFILE); }, nullptr},
        {"channel still running at the end of the run",
         [](Stage& s) {
             StartStage(s);
             Delay(1);
             RemPciIntServer(s.pci.library, s.server);
             s.server = nullptr;
             rig::ClosePci(s.pci);
         },
         nullptr},
    };
    for (const Case& c : cases) {
        g_inInterrupt = c.inInterrupt;
        const machine::Result r = rig::RunOn({}, [&] {
            Stage s;
            SetUpStage(s);
            c.body(s);
            if (s.pci.library != nullptr) {
                TearDownStage(s);
            } else {
                FreeVec(s.dma.block);
            }
        });
        EXPECT_TRUE(rig::Violated(r, c.expected)) << "expected: " << c.expected;
        // Each violation is also in the trace, in the same words.
        const auto traced = rig::Lines(r, "violation");
        ASSERT_EQ(traced.size(), r.violations.size()) << c.expected;
        for (std::size_t i = 0; i < traced.size(); ++i) {
            EXPECT_EQ(rig::Text(traced[i], "what"), r.violations[i]);
        }
    }
    g_inInterrupt = nullptr;
}

TEST(Checks, AWellBehavedRunHasNoViolations) {
    g_inInterrupt = nullptr;
    const machine::Result r = rig::RunOn({}, [] {
        Stage s;
        SetUpStage(s);
        StartStage(s);
        Delay(10);
        TearDownStage(s);
    });
    EXPECT_TRUE(r.violations.empty()) << r.violations.front();
    EXPECT_EQ(rig::Count(r, "violation"), 0);
    EXPECT_GE(r.report.blocks, 4u);
}

} // namespace
