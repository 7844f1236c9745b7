// The codec writes of setup and restore, in order, and the codec's registers
// after a run.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hw/codec.h"
#include "platform/ac97mixer.h"
#include "platform/exec.h"
#include "support/files.h"
#include "support/on_machine.h"
#include "support/player_run.h"

using testing_support::Bytes;

namespace {

using Lines = std::vector<std::string>;

Lines CodecWrites(const testing_support::PlayerRun& run) {
    return testing_support::Summary(run.trace, {"codec_write"});
}

std::string W(unsigned reg, unsigned value) {
    char t[32];
    std::snprintf(t, sizeof t, "codec_write %02x=%04x", reg, value);
    return t;
}

Bytes Aiff(double rate) {
    return testing_support::AiffFile(testing_support::ExtendedBytes(rate),
                                     testing_support::Pattern(8000));
}

Bytes Ac3() {
    return testing_support::Ac3Frame(0, 28, 1536 * 2);
}

struct CodecCase {
    const char* name;
    Bytes file;
    bool spdif;
    Lines writes;
};

// Power-on values: extended control with slots 7 and 8 assigned, so that the
// slot assignment's clearing shows; DAC rate 0xAC44 (VRA on); ADC rate 0x5622.
constexpr std::uint16_t kExt = 0x0015;
constexpr std::uint16_t kVolume = 0x0808;
constexpr std::uint16_t kVendor = 0x1234;

machine::Config PowerOn(bool spdif) {
    machine::Config c;
    c.spdifOn = spdif;
    c.codecPowerOn = {{0x2A, static_cast<std::uint16_t>(spdif ? kExt : kExt & ~0x0004)},
                      {0x18, kVolume},
                      {0x6A, kVendor},
                      {0x2C, 0xAC44},
                      {0x32, 0x5622}};
    return c;
}

Lines SpdifRestore(unsigned ext) {
    return {W(0x2A, ext & 0xFFFB), W(0x3A, 0x2000), W(0x6A, kVendor), W(0x18, kVolume),
            W(0x2A, ext),          W(0x2C, 0xAC44), W(0x32, 0xAC44)};
}

Lines Join(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(CodecSettings, ExactWriteSequencesOfEveryCase) {
    const unsigned pcmExt = (kExt | 0x0001) & 0xFFCF;
    const unsigned ac3Ext = kExt & 0xFFCE;
    const CodecCase cases[] = {
        {"AC-3, S/PDIF on", Ac3(), true,
         Join({W(0x2A, 0), W(0x3A, 0x2002), W(0x6A, 0), W(0x18, 0x8000), W(0x2A, ac3Ext),
               W(0x2C, 48000), W(0x32, 48000)},
              SpdifRestore(ac3Ext))},
        {"44100, S/PDIF on", Aiff(44100), true,
         Join({W(0x2A, 0), W(0x3A, 0x0000), W(0x6A, 0), W(0x18, 0), W(0x2A, pcmExt), W(0x2C, 44100),
               W(0x32, 44100)},
              SpdifRestore(pcmExt))},
        {"32000, S/PDIF on", Aiff(32000), true,
         Join({W(0x2A, 0), W(0x3A, 0x3000), W(0x6A, 0), W(0x18, 0), W(0x2A, pcmExt), W(0x2C, 32000),
               W(0x32, 32000)},
              SpdifRestore(pcmExt))},
        {"22050, S/PDIF on", Aiff(22050), true,
         Join({W(0x2A, 0), W(0x3A, 0x2000), W(0x6A, 0), W(0x18, 0), W(0x2A, pcmExt), W(0x2C, 22050),
               W(0x32, 22050)},
              SpdifRestore(pcmExt))},
        {"raw, S/PDIF on", testing_support::Pattern(5000), true,
         Join({W(0x2A, 0), W(0x3A, 0x2000), W(0x6A, 0), W(0x18, 0), W(0x2A, pcmExt), W(0x2C, 48000),
               W(0x32, 48000)},
              SpdifRestore(pcmExt))},
        {"AC-3, S/PDIF off",
         Ac3(),
         false,
         {W(0x2C, 48000), W(0x32, 48000), W(0x2C, 0xAC44), W(0x32, 0xAC44)}},
        {"44100, S/PDIF off",
         Aiff(44100),
         false,
         {W(0x2C, 44100), W(0x32, 44100), W(0x2C, 0xAC44), W(0x32, 0xAC44)}},
    };
    for (const CodecCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto run = testing_support::RunPlayer(c.file, PowerOn(c.spdif));
        EXPECT_EQ(CodecWrites(run), c.writes);
        EXPECT_TRUE(run.result.violations.empty());
    }
}

TEST(CodecSettings, RegistersAfterARun) {
    {
        const auto run = testing_support::RunPlayer(Ac3(), PowerOn(true));
        const auto& regs = run.result.codecRegisters;
        EXPECT_EQ(regs.at(0x18), kVolume);
        EXPECT_EQ(regs.at(0x6A), kVendor);
        EXPECT_EQ(regs.at(0x3A), 0x2000);
        // Setup's VRA and slot assignment stay: VRA was cleared for AC-3, so
        // the rates are fixed at 48000 whatever the restore wrote.
        EXPECT_EQ(regs.at(0x2A) & 0x0035, 0x0004);
        EXPECT_EQ(regs.at(0x2C), 0xBB80);
    }
    {
        const auto run = testing_support::RunPlayer(Aiff(22050), PowerOn(true));
        const auto& regs = run.result.codecRegisters;
        EXPECT_EQ(regs.at(0x2C), 0xAC44);
        // The ADC rate ends with the DAC rate from before the run, not its own.
        EXPECT_EQ(regs.at(0x32), 0xAC44);
        EXPECT_EQ(regs.at(0x2A) & 0x0035, 0x0005);
    }
}

TEST(CodecSettings, SpdifOffAtSetupButOnAtRestoreLeavesUnsavedRegisters) {
    machine::Config config = PowerOn(false);
    std::vector<std::string> writesAfterSetup;
    const machine::Result r = testing_support::RunOnMachine(
        [&] {
            Library* base = OpenLibrary("ac97mixer.library", 50);
            const TagItem none[] = {{TAG_DONE, 0}};
            Mixer* mixer = FindMixer(base, nullptr, -1, none);
            CodecSavedState saved;
            SetupCodec(base, mixer, PlayMode::IffPcm, 44100, &saved);
            // Something else switches the transmitter on during playback.
            WriteCodecRegister(base, mixer, 0x2A, 0x0005);
            RestoreCodec(base, mixer, &saved);
            CloseLibrary(base);
        },
        config);
    const auto trace = testing_support::ParseTrace(r.trace);
    EXPECT_EQ(testing_support::Summary(trace, {"codec_write"}),
              (Lines{W(0x2C, 44100), W(0x32, 44100), W(0x2A, 0x0005), W(0x2A, 0x0001),
                     W(0x3A, 0x2000), W(0x2A, 0x0005), W(0x2C, 0xAC44), W(0x32, 0xAC44)}));
    EXPECT_EQ(r.codecRegisters.at(0x18), kVolume);
    EXPECT_EQ(r.codecRegisters.at(0x6A), kVendor);
    EXPECT_TRUE(r.violations.empty());
}

TEST(CodecSettings, SpdifControlValues) {
    EXPECT_EQ(SpdifControlFor(PlayMode::Ac3, 48000), 0x2002);
    EXPECT_EQ(SpdifControlFor(PlayMode::IffPcm, 44100), 0x0000);
    EXPECT_EQ(SpdifControlFor(PlayMode::IffPcm, 32000), 0x3000);
    EXPECT_EQ(SpdifControlFor(PlayMode::IffPcm, 48000), 0x2000);
    EXPECT_EQ(SpdifControlFor(PlayMode::IffPcm, 96000), 0x2000);
    EXPECT_EQ(SpdifControlFor(PlayMode::Raw, 0), 0x2000);
}

} // namespace
