// AIFF files made by ffmpeg and sox, played as PCM: the rate comes from bytes
// 28 to 37 and the samples are every byte from offset 46, each 16-bit word
// turned little-endian. ffmpeg's own decode of the file is the judge.
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "golden.h"

namespace golden {
namespace {

using app_testing::ReadFileBytes;

const std::string kPlaying = "Playing file (CTRL-C to abort playing)\n";
constexpr std::size_t kRateOffset = 28;
// The sound-data chunk's offset and block-size fields, played before the samples.
constexpr std::size_t kSoundDataFields = 8;

std::string Tag(const Bytes& file, std::size_t at) {
    return file.size() < at + 4 ? std::string()
                                : std::string(file.begin() + at, file.begin() + at + 4);
}

// The value the player takes from the 10 bytes of an 80-bit extended number:
// the sign, bit 14 and bits 9 to 0 of the exponent as a double's exponent,
// and bits 62 to 11 of the mantissa as its fraction. For a true rate this is
// the rate; for other bytes it is whatever those bits say.
double PlayerRateValue(const std::uint8_t* b) {
    const bool negative = (b[0] & 0x80u) != 0;
    const unsigned e = (b[0] & 0x7Fu) << 8 | b[1];
    std::uint64_t m = 0;
    for (int i = 2; i < 10; ++i) {
        m = m << 8 | b[i];
    }
    const int exponent = static_cast<int>(((e >> 14) & 1u) << 10 | (e & 0x3FFu));
    const std::uint64_t fraction = (m >> 11) & ((std::uint64_t{1} << 52) - 1);
    double value = 0;
    if (exponent == 0) {
        value = std::ldexp(static_cast<double>(fraction), -1074);
    } else if (exponent == 0x7FF) {
        value = std::numeric_limits<double>::infinity();
    } else {
        value = std::ldexp(static_cast<double>(fraction | std::uint64_t{1} << 52), exponent - 1075);
    }
    return negative ? -value : value;
}

// The rate the player prints and gives the codec, for bytes whose value
// lies in the range of a rate.
int PlayerRate(const Bytes& file) {
    const double value = PlayerRateValue(&file[kRateOffset]);
    if (!(value >= 0 && value < 2147483648.0)) {
        ADD_FAILURE() << "a rate of " << value << " is out of this test's reach";
        return -1;
    }
    return static_cast<int>(value);
}

enum class Maker { Ffmpeg, Sox };

struct AiffCase {
    Maker maker;
    int rate;
    Spdif spdif;
};

void PrintTo(const AiffCase& c, std::ostream* os) {
    *os << (c.maker == Maker::Ffmpeg ? "ffmpeg" : "sox") << " at " << c.rate << " Hz, S/PDIF "
        << SpdifName(c.spdif);
}

class AiffPcm : public GoldenTest, public testing::WithParamInterface<AiffCase> {};

TEST_P(AiffPcm, DacGetsTheSwappedBytesFromOffset46AtTheFileRate) {
    const auto [maker, rate, spdif] = GetParam();
    const std::string aiff = Path("in.aiff");
    if (maker == Maker::Ffmpeg) {
        FfmpegSine(1.0, rate, {"-c:a", "pcm_s16be", aiff});
    } else {
        // Without a comment sox puts the common chunk first.
        Tool({"sox", "-n", "-b", "16", "-c", "2", "-r", std::to_string(rate), "--comment", "", aiff,
              "synth", "1", "sine", "440", "sine", "660", "gain", "-3"});
    }
    ASSERT_FALSE(HasFailure());
    const Bytes file = ReadFileBytes(aiff);
    // FORM header, a common chunk of 18 bytes, then the sound-data chunk with
    // offset 0: its samples start at byte 54.
    ASSERT_EQ(Tag(file, 0), "FORM");
    ASSERT_EQ(Tag(file, 12), "COMM");
    ASSERT_EQ(Tag(file, 38), "SSND");
    ASSERT_EQ(PlayerRate(file), rate);

    const PlayRun run = Play(aiff, spdif, "play");
    ASSERT_TRUE(CleanRun(run));
    EXPECT_EQ(run.out, "Transfering audio data\nfreq: " + std::to_string(rate) + "\n" + kPlaying);
    EXPECT_EQ(CodecWrites(run.trace), ExpectedCodecWrites(run.trace, CodecUse::Pcm, rate, spdif));
    if (spdif == Spdif::Off) {
        EXPECT_TRUE(run.spdif.data.empty()) << run.spdif.data.size() << " bytes on S/PDIF";
    }
    EXPECT_EQ(run.dac.rate, static_cast<unsigned>(rate));
    EXPECT_EQ(run.dac.channels, 2u);
    EXPECT_EQ(run.dac.bits, 16u);
    ExpectPaddedCapture(run.dac.data, SwapWords(Slice(file, kAiffSampleOffset)), "DAC capture");

    // ffmpeg's decode is the samples alone: the capture from its ninth byte.
    const Bytes decoded = DecodeS16(aiff);
    ASSERT_EQ(decoded.size(), file.size() - kAiffSampleOffset - kSoundDataFields);
    ASSERT_GE(run.dac.data.size(), kSoundDataFields + decoded.size());
    EXPECT_EQ(FirstDifference(Slice(run.dac.data, kSoundDataFields, decoded.size()), decoded,
                              kBytesPerStereoFrame, "sample frame"),
              "");
}

std::vector<AiffCase> AiffCases() {
    std::vector<AiffCase> cases;
    for (Spdif spdif : {Spdif::On, Spdif::Off}) {
        for (Maker maker : {Maker::Ffmpeg, Maker::Sox}) {
            for (int rate : {8000, 11025, 22050, 32000, 44100, 48000}) {
                cases.push_back({maker, rate, spdif});
            }
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Golden, AiffPcm, testing::ValuesIn(AiffCases()),
                         [](const testing::TestParamInfo<AiffCase>& test) {
                             return std::string(test.param.maker == Maker::Ffmpeg ? "Ffmpeg"
                                                                                  : "Sox") +
                                    std::to_string(test.param.rate) + "_Spdif" +
                                    (test.param.spdif == Spdif::On ? "On" : "Off");
                         });

using AiffCommentFirst = GoldenTest;

// sox's default AIFF has a comment chunk between the FORM header and the
// common chunk. The player does not walk chunks: bytes 28 to 37 are then the
// comment's text length (0x0010 for "Processed by SoX") and its first eight
// characters. As an exponent, 0x0010 makes a value far below 1, so the rate
// is 0; the emulated codec runs a rate below its range at its lowest, 8000
// Hz. Everything from byte 46 on, the rest of the comment and the common
// chunk included, is played as samples. Nothing crashes, and the machine
// sees nothing wrong.
TEST_F(AiffCommentFirst, RateIsWhatBytes28To37HoldAndAllFromByte46IsPlayed) {
    const std::string aiff = Path("in.aiff");
    Tool({"sox", "-n", "-b", "16", "-c", "2", "-r", "44100", aiff, "synth", "1", "sine", "440",
          "sine", "660", "gain", "-3"});
    ASSERT_FALSE(HasFailure());
    const Bytes file = ReadFileBytes(aiff);
    ASSERT_EQ(Tag(file, 0), "FORM");
    ASSERT_EQ(Tag(file, 12), "COMT") << "sox wrote no comment first";
    ASSERT_GT(file.size(), kAiffSampleOffset);
    const int rate = PlayerRate(file);
    EXPECT_EQ(rate, 0) << "bytes 28 and 29 are " << int{file[28]} << ", " << int{file[29]};

    const PlayRun run = Play(aiff, Spdif::On, "play");
    ASSERT_TRUE(CleanRun(run));
    EXPECT_EQ(run.out, "Transfering audio data\nfreq: " + std::to_string(rate) + "\n" + kPlaying);
    EXPECT_EQ(CodecWrites(run.trace),
              ExpectedCodecWrites(run.trace, CodecUse::Pcm, rate, Spdif::On));
    EXPECT_EQ(run.dac.rate, 8000u);
    ExpectPaddedCapture(run.dac.data, SwapWords(Slice(file, kAiffSampleOffset)), "DAC capture");
}

} // namespace
} // namespace golden
