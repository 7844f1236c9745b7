// The hardware side: the descriptor table, start and stop, the interrupt
// server and its signal, and the codec settings, as the machine sees them.
#include <tuple>

#include <gtest/gtest.h>

#include "frontend/player_state.h"
#include "hw/codec.h"
#include "hw/dma.h"
#include "hw/interrupt.h"
#include "hw/vt8231.h"
#include "platform/byteorder.h"
#include "platform/dos.h"
#include "support/harness.h"

namespace {

using namespace harness;

// What setup does before the channel is touched: the device found, I/O
// decoding and bus mastering on, the window base known.
void OpenDevice() {
    PlayerState& s = gPlayerState;
    const TagItem tags[] = {
        {PCIFIND_VENDOR, vt8231::kVendorId}, {PCIFIND_DEVICE, vt8231::kDeviceId}, {TAG_DONE, 0}};
    s.pciDevice = FindPciDevice(s.pciLibrary = OpenLibrary("cybpci.library", 1), nullptr, tags);
    WritePciConfigLong(s.pciLibrary, s.pciDevice, vt8231::kPciCommand, 5);
    s.controllerBase =
        GetPciDeviceAttr(s.pciLibrary, s.pciDevice, PCIATTR_BASE0) & vt8231::kIoBaseMask;
}

TEST(Dma, TableAtTheFirst16ByteBoundaryThenStartAndStopWithTheirBarriers) {
    for (std::uintptr_t misalign = 0; misalign < 16; ++misalign) {
        SCOPED_TRACE(misalign);
        ResetPlayerState();
        std::uint8_t* table = nullptr;
        std::vector<std::uint32_t> bus, descriptors;
        const machine::Result r = OnMachine([&] {
            OpenDevice();
            auto* block = static_cast<std::uint8_t*>(AllocVec(kDmaBlockSize + 16, MEMF_CLEAR));
            // An address 16k + misalign, wherever AllocVec put the block.
            auto* start = block + ((misalign - reinterpret_cast<std::uintptr_t>(block)) & 15);
            BuildDescriptorTable(start);
            table = start + ((16 - misalign) & 15);
            for (std::uint8_t* p : {table, table + 0x10, table + 0x1810}) {
                bus.push_back(GetPciBusAddress(gPlayerState.pciLibrary, gPlayerState.pciDevice, p));
            }
            for (int at = 0; at < 16; at += 4) {
                descriptors.push_back(LoadLE32(table + at));
            }
            StartDma(), StopDma(), FreeVec(block), CloseLibrary(gPlayerState.pciLibrary);
        });
        EXPECT_EQ(gPlayerState.bufferAddress[0], reinterpret_cast<std::uintptr_t>(table) + 0x10);
        EXPECT_EQ(gPlayerState.bufferAddress[1], reinterpret_cast<std::uintptr_t>(table) + 0x1810);
        EXPECT_EQ(descriptors,
                  (std::vector<std::uint32_t>{bus[1], 0x40001800, bus[2], 0x80001800}));
        char pointer[32];
        std::snprintf(pointer, sizeof pointer, "io_write32 @04=%x", bus[0]);
        // clang-format off
        const std::vector<std::string> writes = {pointer, "io_write32 @00=ffffffff", "io_write8 @02=b3",
            "barrier", "io_write8 @01=80", "barrier", "io_write8 @01=40", "barrier", "io_write8 @02=0", "barrier", "delay 2"};
        // clang-format on
        EXPECT_EQ(Summary(r, {"io_write", "barrier", "delay"}), writes);
        EXPECT_TRUE(r.violations.empty());
    }
}

TEST(InterruptServer, AcknowledgesOwnBitsFlipsOncePerCallAndSignals) {
    // The status, whether the task is armed, the bits acknowledged (0: no write).
    const std::tuple<std::uint8_t, bool, std::uint8_t> cases[] = {
        {0x00, true, 0},    {0x04, true, 0},    {0x01, true, 0x01},  {0x02, true, 0x02},
        {0x03, true, 0x03}, {0x07, true, 0x03}, {0x01, false, 0x01}, {0x03, false, 0x03}};
    for (const auto& [status, armed, ack] : cases) {
        SCOPED_TRACE(testing::Message() << int{status} << (armed ? " armed" : ""));
        ResetPlayerState();
        std::uint32_t received = 0;
        const machine::Result r = OnMachine([&] {
            OpenDevice();
            if (armed) {
                ASSERT_TRUE(PrepareSignals());
            }
            machine::SetChannelStatusBits(status);
            EXPECT_EQ(AudioInterruptServer(), 0u); // the next server on the line runs too
            received = SetSignal(0, 0);
            FreeSignal(gPlayerState.signalBit != 0 ? gPlayerState.signalBit : -1);
            CloseLibrary(gPlayerState.pciLibrary);
        });
        std::vector<std::string> expected = {"io_read8 @00=" + std::to_string(status),
                                             "io_write8 @00=" + std::to_string(ack), "barrier"};
        expected.resize(ack != 0 ? 3 : 1);
        EXPECT_EQ(Summary(r, {"io_read", "io_write", "barrier"}), expected);
        const bool woken = armed && ack != 0;
        EXPECT_EQ(std::pair(gPlayerState.activeIndex.load(), received),
                  std::pair(woken ? 1u : 0u, woken ? 1u << 31 : 0u));
    }
}

TEST(InterruptServer, SignalsAreClearedAndNoneFreeMeansUnarmed) {
    const machine::Result r = OnMachine([] { EXPECT_TRUE(PrepareSignals()); });
    EXPECT_EQ(Summary(r, {"signal_alloc", "set_signal"}),
              (std::vector<std::string>{"signal_alloc 31", "set_signal 0 80001000"}));
    machine::Config none;
    none.faults.insert(machine::Fault::Signal);
    ResetPlayerState();
    OnMachine([] { EXPECT_FALSE(PrepareSignals()); }, none);
    EXPECT_EQ(gPlayerState.playerTask.load(), nullptr);
}

TEST(Codec, SetupAndRestoreWriteSequences) {
    // The transmitter and VRA at power-on, the mode and rate, 0x2A bits set
    // between setup and restore, the writes of each.
    const std::tuple<bool, bool, PlayMode, std::int32_t, std::uint16_t, const char*> cases[] = {
        // clang-format off
        {true, true, PlayMode::IffPcm, 44100, 0,
         "2a=0000 3a=0000 6a=0000 18=0808 2a=0005 2c=ac44 32=ac44 | 2a=0001 3a=2000 6a=0a51 18=0a0a 2a=0005 2c=bb80 32=bb80"},
        {true, false, PlayMode::IffPcm, 32000, 0,
         "2a=0000 3a=3000 6a=0000 18=0808 2a=0005 2c=7d00 32=7d00 | 2a=0001 3a=2000 6a=0a51 18=0a0a 2a=0005 2c=bb80 32=bb80"},
        {true, true, PlayMode::Ac3, 48000, 0,
         "2a=0000 3a=2002 6a=0000 18=8000 2a=0004 2c=bb80 32=bb80 | 2a=0000 3a=2000 6a=0a51 18=0a0a 2a=0004 2c=bb80 32=bb80"},
        {false, true, PlayMode::Raw, 48000, 0, "2c=bb80 32=bb80 | 2c=bb80 32=bb80"},
        {false, true, PlayMode::IffPcm, 22050, 0x0004, "2c=5622 32=5622 2a=0005 | 2a=0001 3a=2000 2a=0005 2c=bb80 32=bb80"},
        // clang-format on
    };
    for (const auto& [spdif, vra, mode, rate, spdifAtRestore, writes] : cases) {
        SCOPED_TRACE(writes);
        machine::Config config;
        config.spdifOn = spdif, config.vraOn = vra;
        config.codecPowerOn[0x18] = 0x0A0A; // the user's volume, -3 dB, comes back
        const machine::Result r = OnMachine(
            [&] {
                Library* base = OpenLibrary("ac97mixer.library", 50);
                const TagItem none[] = {{TAG_DONE, 0}};
                Mixer* mixer = FindMixer(base, nullptr, -1, none);
                CodecSavedState saved;
                SetupCodec(base, mixer, mode, rate, &saved);
                if (spdifAtRestore != 0) { // shows as the last write before "|"
                    WriteCodecRegister(base, mixer, 0x2A,
                                       ReadCodecRegister(base, mixer, 0x2A) | spdifAtRestore);
                }
                Printf("|"), RestoreCodec(base, mixer, &saved), CloseLibrary(base);
            },
            config);
        std::string got;
        for (const std::string& line : Summary(r, {"codec_write", "print"})) {
            got += (got.empty() ? "" : " ") + line.substr(line.find(' ') + 1);
        }
        EXPECT_EQ(got, writes);
        EXPECT_TRUE(r.violations.empty());
    }
}

} // namespace
