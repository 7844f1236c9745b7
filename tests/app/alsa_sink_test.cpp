// The sound-device sink without a sound card: ALSA's file plugin over a null
// device records the bytes the sink played, which are read back.
#include <algorithm>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "app/alsa_sink.h"
#include "platform/byteorder.h"
#include "subprocess.h"
#include "support/files.h"
#include "wav_file.h"

namespace {

using app_testing::Bytes;
using app_testing::ReadFileBytes;

struct Devices {
    std::string rawFile;     // what "raw_capture" played, as bytes
    std::string wavFile;     // what "wav_capture" played, as a WAV file
    std::string defaultFile; // what the default device played, as bytes
};

// Points ALSA at a configuration of our own before it first reads one.
const Devices& CaptureDevices() {
    static const Devices devices = [] {
        Devices d{app_testing::ScratchPath("alsa.raw"), app_testing::ScratchPath("alsa.wav"),
                  app_testing::ScratchPath("alsa-default.raw")};
        const std::string config = app_testing::ScratchPath("asound.conf");
        app_testing::WriteFile(config, "pcm.raw_capture {\n"
                                       "    type file\n"
                                       "    slave { pcm { type null } }\n"
                                       "    file \"" +
                                           d.rawFile +
                                           "\"\n"
                                           "    format \"raw\"\n"
                                           "}\n"
                                           "pcm.wav_capture {\n"
                                           "    type file\n"
                                           "    slave { pcm { type null } }\n"
                                           "    file \"" +
                                           d.wavFile +
                                           "\"\n"
                                           "    format \"wav\"\n"
                                           "}\n"
                                           "pcm.!default {\n"
                                           "    type file\n"
                                           "    slave { pcm { type null } }\n"
                                           "    file \"" +
                                           d.defaultFile +
                                           "\"\n"
                                           "    format \"raw\"\n"
                                           "}\n");
        setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
        return d;
    }();
    return devices;
}

machine::AudioChunk Chunk(const Bytes& bytes, std::uint32_t rate, bool muted = false) {
    return machine::AudioChunk{rate, muted, false, 0, bytes.data(), bytes.size()};
}

TEST(AlsaSink, PlaysTheBytesAsSentAndSilenceWhenMuted) {
    const Devices& devices = CaptureDevices();
    auto sink = app::OpenAlsaSink("raw_capture");
    ASSERT_TRUE(sink);
    const Bytes first = testing_support::Pattern(8192, 1);
    const Bytes muted = testing_support::Pattern(4096, 2);
    const Bytes last = testing_support::Pattern(6144, 3);
    sink->Write(Chunk(first, 48000));
    sink->Write(Chunk(muted, 48000, true));
    sink->Write(Chunk(last, 48000));
    sink->Finish();
    const Bytes expected = testing_support::Concat({first, Bytes(muted.size(), 0), last});
    const Bytes played = ReadFileBytes(devices.rawFile);
    EXPECT_EQ(played.size(), expected.size());
    EXPECT_TRUE(played == expected);
}

TEST(AlsaSink, ARateChangeReconfiguresAndLosesNothing) {
    const Devices& devices = CaptureDevices();
    auto sink = app::OpenAlsaSink("raw_capture");
    ASSERT_TRUE(sink);
    const Bytes a = testing_support::Pattern(4096, 5);
    const Bytes b = testing_support::Pattern(4096, 6);
    sink->Write(Chunk(a, 44100));
    sink->Write(Chunk(b, 22050));
    sink->Finish();
    EXPECT_TRUE(ReadFileBytes(devices.rawFile) == testing_support::Concat({a, b}));
}

TEST(AlsaSink, TheDeviceRunsAtTheChunksRateInS16Stereo) {
    const Devices& devices = CaptureDevices();
    for (const std::uint32_t rate : {22050u, 44100u, 48000u}) {
        auto sink = app::OpenAlsaSink("wav_capture");
        ASSERT_TRUE(sink);
        const Bytes bytes = testing_support::Pattern(rate / 10 * 4, 7);
        sink->Write(Chunk(bytes, rate));
        sink->Finish();
        const Bytes file = ReadFileBytes(devices.wavFile);
        ASSERT_GE(file.size(), 44u);
        EXPECT_EQ(LoadLE32(&file[24]), rate);
        EXPECT_EQ(LoadLE16(&file[22]), 2);  // channels
        EXPECT_EQ(LoadLE16(&file[34]), 16); // bits
        EXPECT_EQ(LoadLE16(&file[20]), 1);  // PCM
        EXPECT_TRUE(Bytes(file.end() - static_cast<std::ptrdiff_t>(bytes.size()), file.end()) ==
                    bytes);
    }
}

TEST(AlsaSink, AMissingDeviceIsNoSinkAndNoNoise) {
    CaptureDevices();
    testing::internal::CaptureStderr();
    auto sink = app::OpenAlsaSink("no_such_device");
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(sink);
    EXPECT_EQ(said, "");
}

TEST(AlsaSink, WithoutANameItIsTheDefaultDevice) {
    const Devices& devices = CaptureDevices();
    auto sink = app::OpenAlsaSink();
    ASSERT_TRUE(sink);
    const Bytes bytes = testing_support::Pattern(4096);
    sink->Write(Chunk(bytes, 48000));
    sink->Finish();
    EXPECT_TRUE(ReadFileBytes(devices.defaultFile) == bytes);
}

} // namespace

namespace {

// Both programs put the DAC stream on the default device: kestrel-machine
// --live sends the same bytes there as to its WAV capture, and kestrel, on the
// real clock, sends the same stream.
TEST(AlsaPrograms, TheDacStreamReachesTheDefaultDevice) {
    const Devices& devices = CaptureDevices();
    const std::vector<std::string> env = {std::string("ALSA_CONFIG_PATH=") +
                                          std::getenv("ALSA_CONFIG_PATH")};
    const std::string raw =
        testing_support::WriteTempFile("live.raw", testing_support::Pattern(48000 * 4 / 4));
    const std::string wav = app_testing::ScratchPath("live.wav");

    app_testing::ProgramOptions options;
    options.env = env;
    const auto machineRun = app_testing::RunProgram(
        {KESTREL_MACHINE_PATH, "--live", "--dac-wav=" + wav, "--", "kestrel", raw}, options);
    ASSERT_EQ(machineRun.status, 0) << machineRun.err;
    EXPECT_EQ(machineRun.err, "");
    const auto capture = app_testing::ParseWav(ReadFileBytes(wav));
    ASSERT_TRUE(capture.valid) << capture.why;
    const Bytes live = ReadFileBytes(devices.defaultFile);
    EXPECT_EQ(live.size(), capture.data.size());
    EXPECT_TRUE(live == capture.data);

    const auto playerRun = app_testing::RunProgram({KESTREL_PATH, raw}, options);
    ASSERT_EQ(playerRun.status, 0) << playerRun.err;
    // On the real clock, whether the channel fetched its first slice (1 ms,
    // 192 bytes) of the empty buffer before the player stopped it depends on
    // which thread got there first; everything before that is the same.
    const Bytes heard = ReadFileBytes(devices.defaultFile);
    constexpr std::size_t kSlice = 48 * 4;
    ASSERT_GE(heard.size() + kSlice, capture.data.size());
    ASSERT_LE(heard.size(), capture.data.size() + kSlice);
    const std::size_t common = std::min(heard.size(), capture.data.size());
    EXPECT_TRUE(
        std::equal(heard.begin(), heard.begin() + static_cast<long>(common), capture.data.begin()));
}

} // namespace
