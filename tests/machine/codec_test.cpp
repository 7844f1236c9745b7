// The AC'97 codec behind ac97mixer.library: power-on values, VRA and the rate
// registers, the S/PDIF transmitter and what reaches the outputs.
#include <gtest/gtest.h>

#include <algorithm>

#include "hw/ac97.h"
#include "hw/vt8231.h"
#include "machine/rig.h"
#include "platform/dos.h"
#include "platform/io.h"

namespace {

struct Codec {
    Library* library = nullptr;
    Mixer* mixer = nullptr;
};

void OpenCodec(Codec& c) {
    c.library = OpenLibrary("ac97mixer.library", 50);
    ASSERT_NE(c.library, nullptr);
    const TagItem none[] = {{TAG_DONE, 0}};
    c.mixer = FindMixer(c.library, nullptr, -1, none);
    ASSERT_NE(c.mixer, nullptr);
}

std::uint16_t Get(const Codec& c, std::uint32_t reg) {
    return static_cast<std::uint16_t>(ReadCodecRegister(c.library, c.mixer, reg));
}

void Set(const Codec& c, std::uint32_t reg, std::uint16_t value) {
    WriteCodecRegister(c.library, c.mixer, reg, value);
}

// Plays `count` blocks of `bytes` of 0x5A through the channel, the last one EOL.
void PlayBlocks(std::uint32_t bytes, int count = 1) {
    rig::Pci pci;
    rig::Dma dma;
    ASSERT_TRUE(rig::OpenPci(pci));
    ASSERT_TRUE(rig::AllocDma(dma, 16 * 4 + bytes));
    std::uint8_t* buffer = dma.base + 16 * 4;
    std::fill(buffer, buffer + bytes, std::uint8_t{0x5A});
    for (int i = 0; i < count; ++i) {
        rig::SetDescriptor(dma.base, i, rig::Bus(pci, buffer),
                           (i == count - 1 ? vt8231::kDescEol : 0) | bytes);
    }
    WriteRegister32(pci.window + vt8231::kRegTablePointer, rig::Bus(pci, dma.base));
    rig::Write8(pci, vt8231::kRegType, vt8231::kType16Bit | vt8231::kTypeStereo);
    rig::Write8(pci, vt8231::kRegControl, vt8231::kControlStart);
    Delay(50);
    rig::FreeDma(dma);
    rig::ClosePci(pci);
}

TEST(Codec, PowerOnValuesOfTheDefaultMachine) {
    const machine::Result r = rig::RunOn({}, [] {});
    const std::pair<std::uint32_t, std::uint16_t> expected[] = {
        {ac97::kPcmOutVolume, 0x0808},    {ac97::kExtAudioId, 0x0805},
        {ac97::kExtAudioControl, 0x0005}, {ac97::kPcmFrontDacRate, 48000},
        {ac97::kPcmAdcRate, 48000},       {ac97::kSpdifControl, 0x2000},
        {ac97::kMasterVolume, 0x8000}};
    for (const auto& [reg, value] : expected) {
        EXPECT_EQ(r.codecRegisters.at(reg), value) << "register " << reg;
    }
    EXPECT_NE(r.codecRegisters.at(ac97::kVendor6A), 0);
}

TEST(Codec, PowerOnValuesFollowTheConfiguration) {
    struct Case {
        bool spdif;
        bool vra;
        std::uint16_t ext;
    };
    for (const Case c :
         {Case{false, false, 0x0000}, Case{true, false, 0x0004}, Case{false, true, 0x0001}}) {
        machine::Config config;
        config.spdifOn = c.spdif;
        config.vraOn = c.vra;
        const machine::Result r = rig::RunOn(config, [] {});
        EXPECT_EQ(r.codecRegisters.at(ac97::kExtAudioControl), c.ext);
    }
    machine::Config config;
    config.codecPowerOn[ac97::kPcmOutVolume] = 0x8000;
    config.codecPowerOn[ac97::kVendor6A] = 0x1234;
    config.codecPowerOn[ac97::kPcmFrontDacRate] = 22050;
    const machine::Result r = rig::RunOn(config, [] {});
    EXPECT_EQ(r.codecRegisters.at(ac97::kPcmOutVolume), 0x8000);
    EXPECT_EQ(r.codecRegisters.at(ac97::kVendor6A), 0x1234);
    EXPECT_EQ(r.codecRegisters.at(ac97::kPcmFrontDacRate), 22050);

    // Without VRA the converters run at 48 kHz whatever was asked.
    config.vraOn = false;
    EXPECT_EQ(rig::RunOn(config, [] {}).codecRegisters.at(ac97::kPcmFrontDacRate), 48000);
}

TEST(Codec, RateRegistersFollowVra) {
    struct Case {
        bool vra;
        std::uint32_t reg;
        std::uint16_t write;
        std::uint16_t read;
    };
    const Case cases[] = {
        {true, ac97::kPcmFrontDacRate, 44100, 44100},  {true, ac97::kPcmFrontDacRate, 22050, 22050},
        {true, ac97::kPcmFrontDacRate, 8000, 8000},    {true, ac97::kPcmFrontDacRate, 7999, 8000},
        {true, ac97::kPcmFrontDacRate, 0, 8000},       {true, ac97::kPcmFrontDacRate, 48001, 48000},
        {true, ac97::kPcmFrontDacRate, 0xFFFF, 48000}, {true, ac97::kPcmAdcRate, 32000, 32000},
        {false, ac97::kPcmFrontDacRate, 44100, 48000}, {false, ac97::kPcmAdcRate, 22050, 48000},
    };
    for (const Case& c : cases) {
        machine::Config config;
        config.vraOn = c.vra;
        std::uint16_t read = 0;
        rig::RunOn(config, [&] {
            Codec codec;
            OpenCodec(codec);
            Set(codec, c.reg, c.write);
            read = Get(codec, c.reg);
            CloseLibrary(codec.library);
        });
        EXPECT_EQ(read, c.read) << "VRA " << c.vra << " register " << c.reg << " write " << c.write;
    }
}

TEST(Codec, ClearingVraPutsTheRatesBackTo48000) {
    std::uint16_t before = 0;
    std::uint16_t after = 0;
    rig::RunOn({}, [&] {
        Codec codec;
        OpenCodec(codec);
        Set(codec, ac97::kPcmFrontDacRate, 44100);
        before = Get(codec, ac97::kPcmFrontDacRate);
        Set(codec, ac97::kExtAudioControl, 0);
        after = Get(codec, ac97::kPcmFrontDacRate);
        CloseLibrary(codec.library);
    });
    EXPECT_EQ(before, 44100);
    EXPECT_EQ(after, 48000);
}

TEST(Codec, ReadOnlyRegistersDropWritesAndResetRestores) {
    const machine::Result r = rig::RunOn({}, [] {
        Codec codec;
        OpenCodec(codec);
        Set(codec, ac97::kExtAudioId, 0xFFFF);
        Set(codec, ac97::kVendorId1, 0);
        Set(codec, ac97::kPcmOutVolume, 0x1F1F);
        Set(codec, ac97::kReset, 0);
        CloseLibrary(codec.library);
    });
    EXPECT_EQ(r.codecRegisters.at(ac97::kExtAudioId), 0x0805);
    EXPECT_EQ(r.codecRegisters.at(ac97::kVendorId1), 0x4943);
    EXPECT_EQ(r.codecRegisters.at(ac97::kPcmOutVolume), 0x0808);
}

TEST(Codec, DacRateSetsTheChannelPaceAndTheCapture) {
    const machine::Result r = rig::RunOn({}, [] {
        Codec codec;
        OpenCodec(codec);
        Set(codec, ac97::kPcmFrontDacRate, 44100);
        Set(codec, ac97::kPcmOutVolume, 0x8000);
        PlayBlocks(0x1800, 3);
        CloseLibrary(codec.library);
    });
    ASSERT_EQ(r.dac.segments.size(), 1u);
    EXPECT_EQ(r.dac.segments[0].rate, 44100u);
    EXPECT_TRUE(r.dac.segments[0].muted);
    EXPECT_EQ(r.dac.bytes.size(), 3 * 0x1800u);
    EXPECT_TRUE(std::all_of(r.dac.bytes.begin(), r.dac.bytes.end(),
                            [](std::uint8_t b) { return b == 0x5A; }));
    // 1536 frames at 44100 Hz: each block lasts 34829.9 us.
    const auto blocks = rig::Lines(r, "block");
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(rig::Number(blocks[1], "t") - rig::Number(blocks[0], "t"), 34829);
    EXPECT_EQ(rig::Number(blocks[2], "t") - rig::Number(blocks[0], "t"), 69659);
}

TEST(Codec, SpdifOutputTakesRateAndNonAudioFromItsControl) {
    struct Case {
        std::uint16_t control;
        std::uint32_t rate;
        bool nonAudio;
    };
    const Case cases[] = {{0x0000, 44100, false},
                          {0x2000, 48000, false},
                          {0x3000, 32000, false},
                          {0x2002, 48000, true}};
    for (const Case& c : cases) {
        const machine::Result r = rig::RunOn({}, [&] {
            Codec codec;
            OpenCodec(codec);
            Set(codec, ac97::kExtAudioControl, 0); // transmitter off before its control changes
            Set(codec, ac97::kSpdifControl, c.control);
            Set(codec, ac97::kExtAudioControl, ac97::kExtSpdif);
            PlayBlocks(0x100);
            CloseLibrary(codec.library);
        });
        ASSERT_EQ(r.spdif.segments.size(), 1u);
        EXPECT_EQ(r.spdif.segments[0].rate, c.rate);
        EXPECT_EQ(r.spdif.segments[0].nonAudio, c.nonAudio);
        EXPECT_EQ(r.spdif.bytes, r.dac.bytes);
        EXPECT_TRUE(r.violations.empty());
    }
}

TEST(Codec, NothingLeavesTheSpdifOutputWhileTheTransmitterIsOff) {
    machine::Config config;
    config.spdifOn = false;
    const machine::Result r = rig::RunOn(config, [] { PlayBlocks(0x100); });
    EXPECT_EQ(r.dac.bytes.size(), 0x100u);
    EXPECT_TRUE(r.spdif.bytes.empty());
}

TEST(Codec, SettingsChangingDuringPlaybackStartNewSegments) {
    const machine::Result r = rig::RunOn({}, [] {
        Codec codec;
        OpenCodec(codec);
        rig::Pci pci;
        rig::Dma dma;
        ASSERT_TRUE(rig::OpenPci(pci));
        ASSERT_TRUE(rig::AllocDma(dma, 16 + 0x1800));
        rig::SetDescriptor(dma.base, 0, rig::Bus(pci, dma.base + 16), vt8231::kDescEol | 0x1800);
        WriteRegister32(pci.window + vt8231::kRegTablePointer, rig::Bus(pci, dma.base));
        rig::Write8(pci, vt8231::kRegType, vt8231::kType16Bit | vt8231::kTypeStereo);
        rig::Write8(pci, vt8231::kRegControl, vt8231::kControlStart);
        Delay(1);
        Set(codec, ac97::kPcmOutVolume, 0x8000);
        Delay(50);
        rig::FreeDma(dma);
        rig::ClosePci(pci);
        CloseLibrary(codec.library);
    });
    ASSERT_EQ(r.dac.segments.size(), 2u);
    EXPECT_FALSE(r.dac.segments[0].muted);
    EXPECT_TRUE(r.dac.segments[1].muted);
    EXPECT_EQ(r.dac.segments[1].offset, 21u * 192u); // 21 slices of 1 ms fetched by 20 ms
}

} // namespace
