// The WAV captures of a whole player run hold exactly what the machine
// captured in memory, at the rate the stream started with.
#include <filesystem>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app/wav_sink.h"
#include "support/player_run.h"
#include "wav_file.h"

namespace {

using testing_support::Bytes;

std::string TempPath(const std::string& name) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("kestrel-capture-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    return (dir / name).string();
}

struct CaptureCase {
    const char* name;
    Bytes file;
    long long breakAfterBlocks;
    std::uint32_t dacRate;
    bool spdifNonAudio;
};

TEST(WavCapture, EqualsTheInMemoryCapture) {
    Bytes ac3;
    for (std::uint8_t i = 0; i < 4; ++i) {
        const Bytes frame = testing_support::Ac3Frame(0, 28, 384 * 4, i);
        ac3.insert(ac3.end(), frame.begin(), frame.end());
    }
    const CaptureCase cases[] = {
        {"raw", testing_support::Pattern(3 * 6144 + 100), -1, 48000, false},
        {"aiff 22050",
         testing_support::AiffFile(testing_support::ExtendedBytes(22050),
                                   testing_support::Pattern(4 * 6144, 9)),
         -1, 22050, false},
        {"raw stopped by CTRL-C", testing_support::Pattern(20 * 6144, 3), 2, 48000, false},
        {"ac-3", ac3, -1, 48000, true},
    };
    for (const CaptureCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dacPath = TempPath("dac.wav");
        const std::string spdifPath = TempPath("spdif.wav");
        std::string error;
        auto dac = app::WavSink::Create(dacPath, &error);
        auto spdif = app::WavSink::Create(spdifPath, &error);
        ASSERT_TRUE(dac && spdif) << error;
        machine::Config config;
        config.dacSink = dac.get();
        config.spdifSink = spdif.get();
        config.breakAfterBlocks = c.breakAfterBlocks;
        const auto run = testing_support::RunPlayer(c.file, config);
        dac->Finish();
        spdif->Finish();
        ASSERT_EQ(run.result.returnCode, 0) << run.result.output;
        ASSERT_TRUE(run.result.violations.empty()) << run.result.violations.front();
        ASSERT_FALSE(run.result.dac.bytes.empty());
        ASSERT_FALSE(run.result.spdif.bytes.empty());

        const auto dacWav = app_testing::ParseWav(app_testing::ReadFileBytes(dacPath));
        ASSERT_TRUE(dacWav.valid) << dacWav.why;
        EXPECT_EQ(dacWav.rate, c.dacRate);
        EXPECT_EQ(dacWav.rate, run.result.dac.segments.front().rate);
        EXPECT_TRUE(dacWav.data == run.result.dac.bytes)
            << dacWav.data.size() << " bytes in the file, " << run.result.dac.bytes.size()
            << " captured";

        const auto spdifWav = app_testing::ParseWav(app_testing::ReadFileBytes(spdifPath));
        ASSERT_TRUE(spdifWav.valid) << spdifWav.why;
        EXPECT_EQ(spdifWav.rate, run.result.spdif.segments.front().rate);
        EXPECT_EQ(run.result.spdif.segments.front().nonAudio, c.spdifNonAudio);
        EXPECT_TRUE(spdifWav.data == run.result.spdif.bytes)
            << spdifWav.data.size() << " bytes in the file, " << run.result.spdif.bytes.size()
            << " captured";
    }
}

} // namespace
