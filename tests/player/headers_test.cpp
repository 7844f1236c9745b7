// The IFF extended rate and the AC-3 sync information.
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "input/headers.h"
#include "support/files.h"
#include "support/on_machine.h"

using testing_support::Bytes;

namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

struct RateCase {
    const char* name;
    Bytes bytes;
    std::int32_t rate;
};

double Convert(const Bytes& bytes) {
    double d = -1.0;
    ExtendedToDouble(bytes.data(), &d);
    return d;
}

class ExtendedRate : public ::testing::TestWithParam<RateCase> {};

TEST_P(ExtendedRate, TruncatesToTheExpectedRate) {
    const RateCase& c = GetParam();
    EXPECT_EQ(RateFromDouble(Convert(c.bytes)), c.rate) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Rates, ExtendedRate,
    ::testing::Values(
        RateCase{"48000", {0x40, 0x0E, 0xBB, 0x80, 0, 0, 0, 0, 0, 0}, 48000},
        RateCase{"44100", {0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}, 44100},
        RateCase{"32000", {0x40, 0x0D, 0xFA, 0x00, 0, 0, 0, 0, 0, 0}, 32000},
        RateCase{"22050", {0x40, 0x0D, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}, 22050},
        RateCase{"8000", testing_support::ExtendedBytes(8000.0), 8000},
        RateCase{"fraction truncated", testing_support::ExtendedBytes(44100.75), 44100},
        RateCase{"zero", Bytes(10, 0), 0},
        RateCase{
            "integer bit clear reads as set", {0x40, 0x0E, 0x3B, 0x80, 0, 0, 0, 0, 0, 0}, 48000},
        RateCase{"exponent out of range", {0x44, 0x00, 0xBB, 0x80, 0, 0, 0, 0, 0, 0}, 2},
        RateCase{"negative", testing_support::ExtendedBytes(-22050.0), -22050},
        RateCase{"infinity saturates", {0x7F, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0}, kMax},
        RateCase{"minus infinity saturates", {0xFF, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0}, kMin},
        RateCase{"NaN is zero", {0x7F, 0xFF, 0xC0, 0, 0, 0, 0, 0, 0, 0}, 0},
        RateCase{"2^31 saturates", testing_support::ExtendedBytes(2147483648.0), kMax},
        RateCase{"-2^31 fits", testing_support::ExtendedBytes(-2147483648.0), kMin},
        RateCase{"-2^32 saturates", testing_support::ExtendedBytes(-4294967296.0), kMin}));

TEST(ExtendedToDouble, SelectsBitsExactly) {
    struct {
        Bytes bytes;
        std::uint64_t bits;
    } cases[] = {
        {{0x40, 0x0E, 0xBB, 0x80, 0, 0, 0, 0, 0, 0}, 0x40E7700000000000},
        {{0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}, 0x40E5888000000000},
        {{0xC0, 0x0E, 0xBB, 0x80, 0, 0, 0, 0, 0, 0}, 0xC0E7700000000000},
        // Mantissa bits 10..0 are dropped, not rounded.
        {{0x40, 0x0E, 0xBB, 0x80, 0, 0, 0, 0, 0x07, 0xFF}, 0x40E7700000000000},
        {{0x40, 0x0E, 0xBB, 0x80, 0, 0, 0, 0, 0x08, 0x00}, 0x40E7700000000001},
        {{0x40, 0x0E, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0x40EFFFFFFFFFFFFF},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(Convert(c.bytes)), c.bits);
    }
    EXPECT_EQ(Convert(testing_support::ExtendedBytes(44100.75)), 44100.75);
}

TEST(ExtendedToDouble, ReadsUnalignedSource) {
    Bytes raw(13, 0xEE);
    const Bytes rate = {0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0};
    std::memcpy(raw.data() + 3, rate.data(), rate.size());
    double d = 0;
    ExtendedToDouble(raw.data() + 3, &d);
    EXPECT_EQ(d, 44100.0);
}

TEST(RateFromDouble, TruncatesTowardZeroAndSaturates) {
    EXPECT_EQ(RateFromDouble(std::numeric_limits<double>::quiet_NaN()), 0);
    EXPECT_EQ(RateFromDouble(2147483647.9), kMax);
    EXPECT_EQ(RateFromDouble(1e300), kMax);
    EXPECT_EQ(RateFromDouble(-2147483648.9), kMin);
    EXPECT_EQ(RateFromDouble(-2147483649.0), kMin);
    EXPECT_EQ(RateFromDouble(-1e300), kMin);
    EXPECT_EQ(RateFromDouble(-0.9), 0);
    EXPECT_EQ(RateFromDouble(11025.999), 11025);
}

struct SyncCase {
    unsigned fscod;
    unsigned frmsizecod;
    std::int32_t sampleRate;
    std::int32_t bitRate;
    std::uint32_t frameLength;
    std::string message;
};

std::vector<SyncCase> SyncCases() {
    std::vector<SyncCase> cases;
    const std::int32_t rates[] = {256, 320, 384, 448, 512};
    for (unsigned code = 0; code < 64; ++code) {
        if (code >= 24 && code <= 33) {
            const std::int32_t rate = rates[(code - 24) / 2];
            cases.push_back({0, code, 48000, rate, static_cast<std::uint32_t>(rate) * 4, ""});
        } else {
            cases.push_back({0, code, 48000, 0, 6144,
                             "Unsupported bitrate (code " + std::to_string(code) + ")\n"});
        }
    }
    for (unsigned code : {0u, 24u, 33u, 63u}) {
        cases.push_back({1, code, 44100, 0, 6144, "Unsupported samplerate 44.1khz\n"});
        cases.push_back({2, code, 32000, 0, 6144, "Unsupported samplerate 32khz\n"});
        cases.push_back({3, code, -1, 0, 6144, "Unsupported samplerate\n"});
    }
    return cases;
}

TEST(ParseAc3SyncInfo, EveryRateCodeAndFrameSizeCode) {
    for (const SyncCase& c : SyncCases()) {
        const Bytes frame = testing_support::Ac3Frame(c.fscod, c.frmsizecod, 16);
        Ac3HeaderInfo info;
        const machine::Result r =
            testing_support::RunOnMachine([&] { info = ParseAc3SyncInfo(frame.data()); });
        SCOPED_TRACE("fscod " + std::to_string(c.fscod) + " frmsizecod " +
                     std::to_string(c.frmsizecod));
        EXPECT_EQ(info.sampleRate, c.sampleRate);
        EXPECT_EQ(info.bitRate, c.bitRate);
        EXPECT_EQ(info.frameLength, c.frameLength);
        EXPECT_EQ(r.output, c.message);
    }
}

} // namespace
