// Input detection: the play mode, its parameters, the messages and where the
// file is left.
#include <string>

#include <gtest/gtest.h>

#include "frontend/player_state.h"
#include "input/detect.h"
#include "platform/dos.h"
#include "support/files.h"
#include "support/on_machine.h"

using testing_support::Bytes;

namespace {

struct DetectCase {
    const char* name;
    Bytes file;
    std::string output;
    PlayMode mode;
    std::int32_t rate;
    std::uint32_t payloadOffset;
    std::uint32_t readSize;
    bool swapBytes;
    std::int32_t position; // file position left for the first refill
};

const Bytes kRate44100 = {0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0};

Bytes Ac3Stream(unsigned fscod, unsigned code, std::size_t length) {
    return testing_support::Ac3Frame(fscod, code, length);
}

std::vector<DetectCase> Cases() {
    const std::string t = "Transfering audio data\n";
    const std::string ac3 = "AC3 Stream SampleRate = 48000Hz BitRate = ";
    const std::string mode = "Transfering data in AC3 mode, freq: 48000\n";
    std::vector<DetectCase> c = {
        {"aiff", testing_support::AiffFile(kRate44100, testing_support::Pattern(100)),
         t + "freq: 44100\n", PlayMode::IffPcm, 44100, 0, 6144, true, 46},
        {"FORM with anything after it", Bytes{'F', 'O', 'R', 'M', 'x', 'y'}, t + "freq: 0\n",
         PlayMode::IffPcm, 0, 0, 6144, true, 6},
        {"form in lower case", Bytes{'f', 'o', 'r', 'm', 0, 0, 0, 0}, t, PlayMode::Raw, 48000, 0,
         6144, false, 0},
        {"empty file", Bytes{}, t, PlayMode::Raw, 48000, 0, 6144, false, 0},
        {"byte-swapped sync", Bytes{0x77, 0x0B, 0, 0, 0x18}, t, PlayMode::Raw, 48000, 0, 6144,
         false, 0},
        {"sync not at offset 0", Bytes{0x00, 0x0B, 0x77, 0, 0, 0x18}, t, PlayMode::Raw, 48000, 0,
         6144, false, 0},
        {"refused bit rate code 36", Ac3Stream(0, 36, 64), t + "Unsupported bitrate (code 36)\n",
         PlayMode::Raw, 48000, 0, 6144, false, 0},
        {"refused bit rate code 22", Ac3Stream(0, 22, 64), t + "Unsupported bitrate (code 22)\n",
         PlayMode::Raw, 48000, 0, 6144, false, 0},
        {"44.1 kHz", Ac3Stream(1, 28, 64), t + "Unsupported samplerate 44.1khz\n", PlayMode::Raw,
         48000, 0, 6144, false, 0},
        {"32 kHz", Ac3Stream(2, 28, 64), t + "Unsupported samplerate 32khz\n", PlayMode::Raw, 48000,
         0, 6144, false, 0},
        {"reserved rate", Ac3Stream(3, 28, 64), t + "Unsupported samplerate\n", PlayMode::Raw,
         48000, 0, 6144, false, 0},
    };
    const std::int32_t bitRates[] = {256, 320, 384, 448, 512};
    for (unsigned code = 24; code <= 33; ++code) {
        const std::int32_t kbit = bitRates[(code - 24) / 2];
        const auto length = static_cast<std::uint32_t>(kbit * 4);
        c.push_back({"accepted AC-3", Ac3Stream(0, code, 3 * length),
                     t + ac3 + std::to_string(kbit) + "kbit\n" + mode, PlayMode::Ac3, 48000, 8,
                     length, true, 0});
    }
    return c;
}

TEST(DetectInput, ModesMessagesAndFilePosition) {
    for (const DetectCase& c : Cases()) {
        SCOPED_TRACE(c.name);
        const std::string path = testing_support::WriteTempFile("detect.bin", c.file);
        testing_support::GuardedBuffers buffers;
        InputFormat format;
        std::int32_t position = -2;
        const machine::Result r = testing_support::RunOnMachine([&] {
            std::fill_n(buffers.Buffer(0), kTransferBufferSize, 0);
            buffers.Install();
            const BPTR file = Open(path.c_str(), MODE_OLDFILE);
            format = DetectInput(file);
            position = Seek(file, 0, OFFSET_CURRENT);
            Close(file);
        });
        EXPECT_EQ(r.output, c.output);
        EXPECT_EQ(format.playMode, c.mode);
        EXPECT_EQ(format.playbackRate, c.rate);
        EXPECT_EQ(format.payloadOffset, c.payloadOffset);
        EXPECT_EQ(format.readSize, c.readSize);
        EXPECT_EQ(format.swapBytes, c.swapBytes);
        if (c.mode == PlayMode::Ac3) {
            EXPECT_EQ(format.frameLength, c.readSize);
        }
        EXPECT_EQ(position, c.position);
        EXPECT_EQ(gPlayerState.lastReadCount,
                  static_cast<std::int32_t>(std::min<std::size_t>(c.file.size(), 46)));
        EXPECT_TRUE(buffers.GuardsIntact());
    }
}

TEST(DetectInput, HeaderLandsInBufferZeroOnly) {
    const Bytes file = testing_support::Pattern(200, 3);
    const std::string path = testing_support::WriteTempFile("header.bin", file);
    testing_support::GuardedBuffers buffers;
    testing_support::RunOnMachine([&] {
        buffers.Install();
        std::fill_n(buffers.Buffer(0), 2 * kTransferBufferSize, 0xEE);
        const BPTR f = Open(path.c_str(), MODE_OLDFILE);
        DetectInput(f);
        Close(f);
    });
    EXPECT_TRUE(std::equal(file.begin(), file.begin() + 46, buffers.Buffer(0)));
    EXPECT_EQ(buffers.Buffer(0)[46], 0xEE);
    EXPECT_TRUE(buffers.GuardsIntact());
}

} // namespace
