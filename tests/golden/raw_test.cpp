// Files played Raw: AC-3 streams that the player refuses, made by ffmpeg, and
// a WAV file made by sox. Their bytes, header included, reach the DAC
// unchanged at 48000 Hz.
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "golden.h"

namespace golden {
namespace {

using app_testing::ReadFileBytes;

const std::string kPlaying = "Playing file (CTRL-C to abort playing)\n";

void ExpectRawPlay(const PlayRun& run, const Bytes& file) {
    ASSERT_TRUE(CleanRun(run));
    EXPECT_EQ(run.dac.rate, 48000u);
    EXPECT_EQ(run.dac.channels, 2u);
    EXPECT_EQ(run.dac.bits, 16u);
    ExpectPaddedCapture(run.dac.data, file, "DAC capture");
    // Raw data is PCM to the codec: not flagged as data, not muted.
    EXPECT_EQ(CodecWrites(run.trace),
              ExpectedCodecWrites(run.trace, CodecUse::Pcm, 48000, Spdif::On));
}

struct RefusedCase {
    const char* name;
    int rate;
    int kbps;
    unsigned fscod;
};

void PrintTo(const RefusedCase& c, std::ostream* os) {
    *os << c.kbps << " kbit/s at " << c.rate << " Hz";
}

class RefusedAc3 : public GoldenTest, public testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedAc3, PrintsWhyAndPlaysTheBytesRaw) {
    const RefusedCase& c = GetParam();
    const std::string ac3 = Path("in.ac3");
    FfmpegSine(1.0, c.rate, {"-c:a", "ac3", "-b:a", std::to_string(c.kbps) + "k", ac3});
    ASSERT_FALSE(HasFailure());
    const Bytes file = ReadFileBytes(ac3);
    ASSERT_GE(file.size(), 5u);
    ASSERT_TRUE(file[0] == 0x0B && file[1] == 0x77);
    ASSERT_EQ(file[4] >> 6, c.fscod) << "ffmpeg's stream is not at the rate asked for";

    std::string refusal;
    if (c.fscod == 0) {
        // 192 kbit/s: frmsizecod 20 or 21, below the table's first row.
        const unsigned frmsizecod = file[4] & 0x3Fu;
        EXPECT_TRUE(frmsizecod == 20 || frmsizecod == 21) << frmsizecod;
        refusal = "Unsupported bitrate (code " + std::to_string(frmsizecod) + ")\n";
    } else if (c.fscod == 1) {
        refusal = "Unsupported samplerate 44.1khz\n";
    } else {
        refusal = "Unsupported samplerate 32khz\n";
    }

    const PlayRun run = Play(ac3, Spdif::On, "play");
    EXPECT_EQ(run.out, "Transfering audio data\n" + refusal + kPlaying);
    ExpectRawPlay(run, file);
}

INSTANTIATE_TEST_SUITE_P(Golden, RefusedAc3,
                         testing::Values(RefusedCase{"Bitrate192k", 48000, 192, 0},
                                         RefusedCase{"Rate44100", 44100, 384, 1},
                                         RefusedCase{"Rate32000", 32000, 384, 2}),
                         [](const testing::TestParamInfo<RefusedCase>& test) {
                             return std::string(test.param.name);
                         });

using RawWav = GoldenTest;

TEST_F(RawWav, SoxWavPlaysHeaderAndAllAt48000) {
    const std::string wav = Path("in.wav");
    Tool({"sox", "-n", "-b", "16", "-c", "2", "-r", "44100", wav, "synth", "1", "sine", "440",
          "sine", "660", "gain", "-3"});
    ASSERT_FALSE(HasFailure());
    const Bytes file = ReadFileBytes(wav);
    ASSERT_GE(file.size(), 44u + 44100u * 4u);

    const PlayRun run = Play(wav, Spdif::On, "play");
    EXPECT_EQ(run.out, "Transfering audio data\n" + kPlaying);
    ExpectRawPlay(run, file);
}

} // namespace
} // namespace golden
