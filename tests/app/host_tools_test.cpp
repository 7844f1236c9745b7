// The WAV captures as sox and ffmpeg see them: the DAC capture of an AIFF made
// by sox, and the S/PDIF capture of an AC-3 stream made by ffmpeg, which must
// decode to what the stream itself decodes to.
#include <string>

#include <gtest/gtest.h>

#include "subprocess.h"

namespace {

using app_testing::RunProgram;
using app_testing::ScratchPath;

const std::string kMachine = KESTREL_MACHINE_PATH;

std::string Trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) {
        s.pop_back();
    }
    return s;
}

std::string Probe(const std::string& path, const std::string& entries) {
    const auto run = RunProgram({"ffprobe", "-v", "error", "-show_entries", entries, "-of",
                                 "default=noprint_wrappers=1:nokey=1", path});
    EXPECT_EQ(run.status, 0) << run.err;
    return Trimmed(run.out);
}

TEST(HostTools, SoxAndFfmpegReadTheDacCapture) {
    const std::string aiff = ScratchPath("tone.aiff");
    const std::string wav = ScratchPath("tone-dac.wav");
    const auto make =
        RunProgram({"sox", "-n", "-b", "16", "-c", "2", "-r", "22050", "--comment", "", aiff,
                    "synth", "0.5", "sine", "440", "sine", "660", "gain", "-6"});
    ASSERT_EQ(make.status, 0) << make.err;
    const auto play = RunProgram({kMachine, "--dac-wav=" + wav, "--", "kestrel", aiff});
    ASSERT_EQ(play.status, 0) << play.err;

    EXPECT_EQ(Trimmed(RunProgram({"sox", "--i", "-r", wav}).out), "22050");
    EXPECT_EQ(Trimmed(RunProgram({"sox", "--i", "-c", wav}).out), "2");
    EXPECT_EQ(Trimmed(RunProgram({"sox", "--i", "-b", wav}).out), "16");
    // Half a second and no more than the last block's padding.
    const long samples = std::stol(RunProgram({"sox", "--i", "-s", wav}).out);
    EXPECT_GE(samples, 11025);
    EXPECT_LT(samples, 11025 + 6144 / 4);
    EXPECT_EQ(Probe(wav, "stream=codec_name,sample_rate,channels"), "pcm_s16le\n22050\n2");
}

TEST(HostTools, FfmpegDecodesTheSpdifCaptureOfAnAc3Stream) {
    const std::string ac3 = ScratchPath("tone.ac3");
    const std::string wav = ScratchPath("tone-spdif.wav");
    const auto make = RunProgram({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                                  "sine=frequency=330:duration=1", "-ac", "2", "-ar", "48000",
                                  "-c:a", "ac3", "-b:a", "384k", ac3});
    ASSERT_EQ(make.status, 0) << make.err;
    const auto play = RunProgram({kMachine, "--spdif-wav=" + wav, "--", "kestrel", ac3});
    ASSERT_EQ(play.status, 0) << play.err;

    EXPECT_EQ(Probe(wav, "stream=codec_name,sample_rate"), "ac3\n48000");
    const auto direct = RunProgram({"ffmpeg", "-v", "error", "-i", ac3, "-f", "s16le", "-"});
    const auto viaSpdif = RunProgram({"ffmpeg", "-v", "error", "-i", wav, "-f", "s16le", "-"});
    ASSERT_EQ(direct.status, 0) << direct.err;
    ASSERT_EQ(viaSpdif.status, 0) << viaSpdif.err;
    ASSERT_FALSE(direct.out.empty());
    EXPECT_EQ(viaSpdif.out.size(), direct.out.size());
    EXPECT_TRUE(viaSpdif.out == direct.out);
}

} // namespace
