// Buffer refill in each play mode, the byte swap, and the bounds of a refill.
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "frontend/player_state.h"
#include "input/refill.h"
#include "platform/dos.h"
#include "spdif/data_burst.h"
#include "support/files.h"
#include "support/on_machine.h"

using testing_support::Bytes;

namespace {

InputFormat Format(PlayMode mode, std::uint32_t frameLength = kTransferBufferSize) {
    InputFormat f;
    f.playMode = mode;
    f.swapBytes = mode != PlayMode::Raw;
    f.payloadOffset = mode == PlayMode::Ac3 ? 8 : 0;
    f.readSize = mode == PlayMode::Ac3 ? frameLength : kTransferBufferSize;
    f.frameLength = frameLength;
    return f;
}

Bytes Swapped(Bytes b) {
    for (std::size_t i = 0; i + 1 < b.size(); i += 2) {
        std::swap(b[i], b[i + 1]);
    }
    return b;
}

bool AllEqual(const std::uint8_t* p, std::size_t n, std::uint8_t v) {
    return std::all_of(p, p + n, [v](std::uint8_t b) { return b == v; });
}

struct Refill {
    std::int32_t count;
    std::int32_t fillLength;
};

// Refills the given buffers in turn from a file holding bytes; each buffer
// starts out full of 0xEE, as if it held earlier audio.
std::vector<Refill> RefillAll(testing_support::GuardedBuffers& buffers, const Bytes& bytes,
                              const InputFormat& format, const std::vector<unsigned>& order,
                              machine::Config config = {}) {
    const std::string path = testing_support::WriteTempFile("refill.bin", bytes);
    std::vector<Refill> results;
    testing_support::RunOnMachine(
        [&] {
            buffers.Install();
            std::fill_n(buffers.Buffer(0), 2 * kTransferBufferSize, 0xEE);
            if (format.playMode == PlayMode::Ac3) {
                PrepareBurstBuffers(format.frameLength);
            }
            const BPTR file = Open(path.c_str(), MODE_OLDFILE);
            for (unsigned index : order) {
                const std::int32_t count = FillTransferBuffer(file, format, index);
                results.push_back({count, gPlayerState.fillLength[index]});
            }
            Close(file);
        },
        config);
    return results;
}

TEST(SwapBytes16, ExchangesWholeWordsOnly) {
    struct {
        Bytes in;
        std::uint32_t length;
        Bytes out;
    } cases[] = {
        {{0x12, 0x34, 0x56}, 3, {0x34, 0x12, 0x56}},
        {{0x12, 0x34}, 0, {0x12, 0x34}},
        {{0x12, 0x34}, 1, {0x12, 0x34}},
        {{1, 2, 3, 4, 5, 6, 7, 8, 9}, 8, {2, 1, 4, 3, 6, 5, 8, 7, 9}},
    };
    for (auto& c : cases) {
        SwapBytes16(c.in.data(), c.length);
        EXPECT_EQ(c.in, c.out);
    }
}

TEST(FillTransferBuffer, RawBytesArriveUnchanged) {
    testing_support::GuardedBuffers buffers;
    const Bytes file = testing_support::Pattern(6144 + 1000, 1);
    const auto r = RefillAll(buffers, file, Format(PlayMode::Raw), {0, 1, 0});
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].count, 6144);
    EXPECT_EQ(r[0].fillLength, 6144);
    EXPECT_EQ(r[1].count, 1000);
    EXPECT_EQ(r[1].fillLength, 1000);
    EXPECT_EQ(r[2].count, 0);
    EXPECT_EQ(r[2].fillLength, 0);
    EXPECT_TRUE(std::equal(file.begin() + 6144, file.end(), buffers.Buffer(1)));
    // What the short read did not bring is silence, not the earlier audio.
    EXPECT_TRUE(AllEqual(buffers.Buffer(1) + 1000, 6144 - 1000, 0));
    EXPECT_TRUE(AllEqual(buffers.Buffer(0), 6144, 0));
    EXPECT_TRUE(buffers.GuardsIntact());
}

TEST(FillTransferBuffer, IffSamplesAreSwappedAndAnOddLastByteIsKept) {
    testing_support::GuardedBuffers buffers;
    const Bytes file = testing_support::Pattern(6144 + 101, 9);
    const auto r = RefillAll(buffers, file, Format(PlayMode::IffPcm), {0, 1});
    EXPECT_EQ(r[0].fillLength, 6144);
    EXPECT_EQ(r[1].count, 101);
    EXPECT_EQ(r[1].fillLength, 101);
    const Bytes first(file.begin(), file.begin() + 6144);
    EXPECT_NE(first, Swapped(first)); // the swap shows in this pattern
    EXPECT_TRUE(std::equal(buffers.Buffer(0), buffers.Buffer(0) + 6144, Swapped(first).begin()));
    const Bytes last(file.begin() + 6144, file.end());
    Bytes expected = Swapped(last);
    EXPECT_EQ(expected.back(), last.back());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffers.Buffer(1)));
    EXPECT_TRUE(AllEqual(buffers.Buffer(1) + 101, 6144 - 101, 0));
    EXPECT_TRUE(buffers.GuardsIntact());
}

TEST(FillTransferBuffer, AFailedReadEndsTheDataInSilence) {
    for (PlayMode mode : {PlayMode::Raw, PlayMode::IffPcm, PlayMode::Ac3}) {
        testing_support::GuardedBuffers buffers;
        machine::Config config;
        config.failReadAt = 2;
        const InputFormat format = Format(mode, 1024);
        const auto r = RefillAll(buffers, testing_support::Pattern(20000), format, {0, 1}, config);
        EXPECT_EQ(r[1].count, -1);
        EXPECT_EQ(r[1].fillLength, 0);
        EXPECT_TRUE(gPlayerState.readFailed);
        const std::uint32_t offset = format.payloadOffset;
        EXPECT_TRUE(AllEqual(buffers.Buffer(1) + offset, format.frameLength, 0));
        EXPECT_TRUE(buffers.GuardsIntact());
    }
}

TEST(FillTransferBuffer, Ac3BurstOf256kbit) {
    testing_support::GuardedBuffers buffers;
    const Bytes frame0 = testing_support::Ac3Frame(0, 24, 1024, 1);
    const Bytes frame1 = testing_support::Ac3Frame(0, 24, 1024, 2);
    const auto r = RefillAll(buffers, testing_support::Concat({frame0, frame1}),
                             Format(PlayMode::Ac3, 1024), {0, 1, 0});
    EXPECT_EQ(r[0].fillLength, 6144);
    EXPECT_EQ(r[1].fillLength, 6144);
    EXPECT_EQ(r[2].count, 0);
    EXPECT_EQ(r[2].fillLength, 0);
    const std::uint8_t* b = buffers.Buffer(1);
    const Bytes head(b, b + 12);
    EXPECT_EQ(head, (Bytes{0x72, 0xF8, 0x1F, 0x4E, 0x01, 0x00, 0x00, 0x20, 0x77, 0x0B, frame1[3],
                           frame1[2]}));
    EXPECT_TRUE(std::equal(b + 8, b + 8 + 1024, Swapped(frame1).begin()));
    EXPECT_TRUE(AllEqual(b + 1032, 6144 - 1032, 0));
    // The preamble stays; an empty read leaves a silent payload.
    EXPECT_EQ(Bytes(buffers.Buffer(0), buffers.Buffer(0) + 8),
              (Bytes{0x72, 0xF8, 0x1F, 0x4E, 0x01, 0x00, 0x00, 0x20}));
    EXPECT_TRUE(AllEqual(buffers.Buffer(0) + 8, 6136, 0));
    EXPECT_TRUE(buffers.GuardsIntact());
}

TEST(FillTransferBuffer, Ac3BurstOf512kbitFillsBytes8To2055) {
    testing_support::GuardedBuffers buffers;
    const Bytes frame = testing_support::Ac3Frame(0, 33, 2048, 5);
    RefillAll(buffers, frame, Format(PlayMode::Ac3, 2048), {0});
    const std::uint8_t* b = buffers.Buffer(0);
    EXPECT_EQ(b[6], 0x00);
    EXPECT_EQ(b[7], 0x40);
    EXPECT_TRUE(std::equal(b + 8, b + 2056, Swapped(frame).begin()));
    EXPECT_TRUE(AllEqual(b + 2056, 6144 - 2056, 0));
}

TEST(FillTransferBuffer, CutShortLastFrameIsAFullBurstPaddedWithSilence) {
    testing_support::GuardedBuffers buffers;
    const Bytes frame0 = testing_support::Ac3Frame(0, 26, 1280, 1);
    const Bytes tail = testing_support::Pattern(301, 77);
    const auto r = RefillAll(buffers, testing_support::Concat({frame0, frame0, tail}),
                             Format(PlayMode::Ac3, 1280), {0, 1, 0});
    EXPECT_EQ(r[2].count, 301);
    EXPECT_EQ(r[2].fillLength, 6144);
    const std::uint8_t* b = buffers.Buffer(0);
    EXPECT_EQ(b[6], 0x00);
    EXPECT_EQ(b[7], 0x28); // Pd still gives the first frame's length
    const Bytes swapped = Swapped(tail);
    // Bytes 0..299 as whole swapped words; the odd last file byte pairs with a zero.
    EXPECT_TRUE(std::equal(swapped.begin(), swapped.end() - 1, b + 8));
    EXPECT_EQ(b[8 + 300], 0x00);
    EXPECT_EQ(b[8 + 301], tail.back());
    EXPECT_TRUE(AllEqual(b + 8 + 302, 6144 - 8 - 302, 0));
}

TEST(FillTransferBuffer, NeverWritesOutsideItsBuffer) {
    for (PlayMode mode : {PlayMode::Raw, PlayMode::IffPcm, PlayMode::Ac3}) {
        testing_support::GuardedBuffers buffers;
        const std::string path =
            testing_support::WriteTempFile("bounds.bin", testing_support::Pattern(40000));
        const InputFormat format = Format(mode, 2048);
        testing_support::RunOnMachine([&] {
            buffers.Install();
            std::fill_n(buffers.Buffer(1), kTransferBufferSize, 0x5A);
            const BPTR file = Open(path.c_str(), MODE_OLDFILE);
            FillTransferBuffer(file, format, 0);
            Close(file);
        });
        EXPECT_TRUE(AllEqual(buffers.Buffer(1), kTransferBufferSize, 0x5A));
        EXPECT_TRUE(buffers.GuardsIntact());
    }
}

TEST(DataBurst, PreambleForEveryFrameLength) {
    struct {
        std::uint32_t frameLength;
        std::uint8_t pd0, pd1;
    } cases[] = {{1024, 0x00, 0x20},
                 {1280, 0x00, 0x28},
                 {1536, 0x00, 0x30},
                 {1792, 0x00, 0x38},
                 {2048, 0x00, 0x40}};
    for (const auto& c : cases) {
        Bytes buffer(kTransferBufferSize, 0xEE);
        WriteBurstPreamble(buffer.data(), c.frameLength);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 8),
                  (Bytes{0x72, 0xF8, 0x1F, 0x4E, 0x01, 0x00, c.pd0, c.pd1}));
        EXPECT_TRUE(AllEqual(buffer.data() + 8, kTransferBufferSize - 8, 0));
    }
}

TEST(DataBurst, PrepareWritesBothBuffers) {
    testing_support::GuardedBuffers buffers;
    buffers.Install();
    std::fill_n(buffers.Buffer(0), 2 * kTransferBufferSize, 0xEE);
    PrepareBurstBuffers(1792);
    for (unsigned i = 0; i < 2; ++i) {
        EXPECT_EQ(Bytes(buffers.Buffer(i), buffers.Buffer(i) + 8),
                  (Bytes{0x72, 0xF8, 0x1F, 0x4E, 0x01, 0x00, 0x00, 0x38}));
        EXPECT_TRUE(AllEqual(buffers.Buffer(i) + 8, kTransferBufferSize - 8, 0));
    }
    EXPECT_TRUE(buffers.GuardsIntact());
}

} // namespace
