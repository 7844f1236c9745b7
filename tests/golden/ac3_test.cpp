// AC-3 passthrough judged by ffmpeg: the IEC 61937 bursts that reach the
// S/PDIF output (or the DAC, with the transmitter off) against ffmpeg's own
// spdif muxer, and ffmpeg's decode of the capture against its decode of the
// stream itself.
#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "golden.h"

namespace golden {
namespace {

using app_testing::ReadFileBytes;
using app_testing::WavInfo;

const std::string kPlaying = "Playing file (CTRL-C to abort playing)\n";

// Pa, Pb, Pc and Pd as little-endian words: AC-3 data, bitstream mode 0,
// and the payload length in bits.
Bytes Preamble(std::size_t frameLength) {
    const auto bits = static_cast<std::uint16_t>(frameLength * 8);
    Bytes preamble = {0x72, 0xF8, 0x1F, 0x4E, 0x01, 0x00};
    preamble.push_back(static_cast<std::uint8_t>(bits & 0xFF));
    preamble.push_back(static_cast<std::uint8_t>(bits >> 8));
    return preamble;
}

// An AC-3 stream by ffmpeg's encoder, and ffmpeg's IEC 61937 muxing of it.
struct Ac3Input {
    std::string path;
    Bytes file;
    std::size_t frameLength = 0;
    std::size_t frames = 0;
    Bytes muxed;
};

// Makes the stream and checks that it is what the test takes it to be: whole
// frames of one length, each starting with the sync word.
Ac3Input MakeAc3(const std::string& path, const std::string& muxedPath, int kbps,
                 const std::vector<std::string>& extra = {}) {
    Ac3Input in;
    in.path = path;
    std::vector<std::string> output = {"-c:a", "ac3", "-b:a", std::to_string(kbps) + "k"};
    output.insert(output.end(), extra.begin(), extra.end());
    output.push_back(path);
    FfmpegSine(2.0, 48000, output);
    Tool({"ffmpeg", "-v", "error", "-nostdin", "-y", "-i", path, "-c", "copy", "-f", "spdif",
          muxedPath});
    in.file = ReadFileBytes(path);
    in.muxed = ReadFileBytes(muxedPath);
    // 1536 samples at 48 kHz last 32 ms: kbps * 32 / 8 bytes.
    in.frameLength = static_cast<std::size_t>(kbps) * 4;
    EXPECT_EQ(in.file.size() % in.frameLength, 0u)
        << "not whole " << in.frameLength << "-byte frames";
    in.frames = in.file.size() / in.frameLength;
    EXPECT_GE(in.frames, 50u);
    for (std::size_t k = 0; k < in.frames; ++k) {
        const std::size_t at = k * in.frameLength;
        EXPECT_TRUE(in.file[at] == 0x0B && in.file[at + 1] == 0x77) << "frame " << k;
    }
    EXPECT_EQ(in.muxed.size(), in.frames * kBurstBytes) << "ffmpeg's muxer: one burst a frame";
    return in;
}

std::uint8_t Bsmod(const Ac3Input& in) {
    return in.file[5] & 0x07;
}

// Compares a capture with the bursts it should hold, burst by burst.
//
// After the N bursts the capture holds a little of the buffer that the
// channel went on to after the last one. That buffer's refill found the end
// of the file: its payload region was cleared, its preamble (written once,
// before playback) stayed. At that buffer's start the player saw a fill
// length of 0 and stopped the channel, which meanwhile fetched up to a
// millisecond of it: the start of an empty burst.
void ExpectBursts(const Bytes& capture, Bytes bursts, const Ac3Input& in) {
    ASSERT_GE(capture.size(), bursts.size()) << "fewer than " << in.frames << " bursts";
    const std::size_t tail = capture.size() - bursts.size();
    EXPECT_LE(tail, kMaxTailBytes) << "bytes after the last frame's burst";
    EXPECT_EQ(tail % kBytesPerStereoFrame, 0u);
    Bytes emptyBurst = Preamble(in.frameLength);
    emptyBurst.resize(std::max(tail, emptyBurst.size()), 0);
    bursts.insert(bursts.end(), emptyBurst.begin(),
                  emptyBurst.begin() + static_cast<std::ptrdiff_t>(tail));
    EXPECT_EQ(FirstDifference(capture, bursts, kBurstBytes, "burst"), "");
}

// ffmpeg's WAV reader finds the bursts in the capture and decodes them. Its
// decoder checks no CRC by default and ignores Pc's bitstream mode, so this
// shows that the framing is understood; the byte comparison is the strict one.
void ExpectSameDecode(const std::string& capturePath, const Ac3Input& in) {
    const Bytes direct = DecodeS16(in.path);
    const std::size_t frameBytes = kSamplesPerAc3Frame * kBytesPerStereoFrame;
    ASSERT_EQ(direct.size(), in.frames * frameBytes);
    const Bytes viaCapture = DecodeS16(capturePath);
    ASSERT_GE(viaCapture.size(), direct.size()) << "ffmpeg found fewer frames in the capture";
    EXPECT_EQ(FirstDifference(Slice(viaCapture, 0, direct.size()), direct, frameBytes,
                              "decoded AC-3 frame"),
              "");
}

struct PassthroughCase {
    int kbps;
    Spdif spdif;
};

void PrintTo(const PassthroughCase& c, std::ostream* os) {
    *os << c.kbps << " kbit/s, S/PDIF " << SpdifName(c.spdif);
}

class Ac3Passthrough : public GoldenTest, public testing::WithParamInterface<PassthroughCase> {};

TEST_P(Ac3Passthrough, BurstsEqualFfmpegsMuxerAndDecodeAsTheStreamDoes) {
    const auto [kbps, spdif] = GetParam();
    const Ac3Input in = MakeAc3(Path("in.ac3"), Path("ffmpeg.spdif"), kbps);
    ASSERT_FALSE(HasFailure());
    ASSERT_EQ(Bsmod(in), 0) << "ffmpeg's muxer writes the bitstream mode into Pc";

    const PlayRun run = Play(in.path, spdif, "play");
    ASSERT_TRUE(CleanRun(run));
    EXPECT_EQ(run.out, "Transfering audio data\n"
                       "AC3 Stream SampleRate = 48000Hz BitRate = " +
                           std::to_string(kbps) +
                           "kbit\n"
                           "Transfering data in AC3 mode, freq: 48000\n" +
                           kPlaying);
    EXPECT_EQ(CodecWrites(run.trace), ExpectedCodecWrites(run.trace, CodecUse::Ac3, 48000, spdif));

    // With the transmitter off the bursts still reach the DAC, as 48 kHz
    // PCM, and nothing reaches the S/PDIF output.
    const WavInfo& carrier = spdif == Spdif::On ? run.spdif : run.dac;
    const std::string& carrierPath = spdif == Spdif::On ? run.spdifPath : run.dacPath;
    if (spdif == Spdif::Off) {
        EXPECT_TRUE(run.spdif.data.empty()) << run.spdif.data.size() << " bytes on S/PDIF";
    }
    EXPECT_EQ(carrier.rate, 48000u);
    EXPECT_EQ(carrier.channels, 2u);
    EXPECT_EQ(carrier.bits, 16u);
    ExpectBursts(carrier.data, in.muxed, in);
    ExpectSameDecode(carrierPath, in);
}

INSTANTIATE_TEST_SUITE_P(
    Golden, Ac3Passthrough,
    testing::Values(PassthroughCase{256, Spdif::On}, PassthroughCase{320, Spdif::On},
                    PassthroughCase{384, Spdif::On}, PassthroughCase{448, Spdif::On},
                    PassthroughCase{512, Spdif::On}, PassthroughCase{256, Spdif::Off},
                    PassthroughCase{320, Spdif::Off}, PassthroughCase{384, Spdif::Off},
                    PassthroughCase{448, Spdif::Off}, PassthroughCase{512, Spdif::Off}),
    [](const testing::TestParamInfo<PassthroughCase>& test) {
        return std::to_string(test.param.kbps) + "k_Spdif" +
               (test.param.spdif == Spdif::On ? "On" : "Off");
    });

using Ac3BitstreamMode = GoldenTest;

// ffmpeg's muxer copies the frame's bitstream mode into bits 8 to 10 of Pc,
// the data-type-dependent field of an AC-3 burst; the player always sends
// Pc = 0x0001. A karaoke stream (bsmod 7) shows that this is the only
// difference, and a decoder does not mind it.
TEST_F(Ac3BitstreamMode, OnlyPcDiffersFromFfmpegsMuxerAndTheDecodeIsTheSame) {
    const Ac3Input in =
        MakeAc3(Path("karaoke.ac3"), Path("ffmpeg.spdif"), 384, {"-audio_service_type", "ka"});
    ASSERT_FALSE(HasFailure());
    const std::uint8_t bsmod = Bsmod(in);
    ASSERT_NE(bsmod, 0) << "ffmpeg wrote bitstream mode 0";

    const PlayRun run = Play(in.path, Spdif::On, "play");
    ASSERT_TRUE(CleanRun(run));
    // ffmpeg's bursts with our Pc are our bursts.
    Bytes expected = in.muxed;
    for (std::size_t k = 0; k < in.frames; ++k) {
        std::uint8_t* pc = &expected[k * kBurstBytes + 4];
        ASSERT_TRUE(pc[0] == 0x01 && pc[1] == bsmod)
            << "burst " << k << ": ffmpeg's Pc is not 0x0" << int{bsmod} << "01";
        pc[1] = 0x00;
    }
    ExpectBursts(run.spdif.data, expected, in);
    ExpectSameDecode(run.spdifPath, in);
}

} // namespace
} // namespace golden
