// The processor a build runs on: byte order as the build expects it, and the
// properties the player relies on for its shared buffer index.
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

#ifndef KESTREL_EXPECT_BIG_ENDIAN
#error "KESTREL_EXPECT_BIG_ENDIAN must be defined by the build"
#endif

namespace {

constexpr bool kExpectBigEndian = KESTREL_EXPECT_BIG_ENDIAN != 0;

TEST(Target, CompilerByteOrderIsTheExpectedOne) {
    constexpr bool compilerBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
    EXPECT_EQ(compilerBigEndian, kExpectBigEndian);
    EXPECT_EQ(std::endian::native == std::endian::big, kExpectBigEndian);
}

TEST(Target, MemoryByteOrderIsTheExpectedOne) {
    // Looked at through memory at run time, so an emulator that ran the
    // program on the wrong byte order would show it too.
    volatile std::uint32_t word = 0x11223344u;
    unsigned char bytes[4];
    std::uint32_t copy = word;
    std::memcpy(bytes, &copy, sizeof bytes);
    if (kExpectBigEndian) {
        EXPECT_EQ(bytes[0], 0x11);
        EXPECT_EQ(bytes[3], 0x44);
    } else {
        EXPECT_EQ(bytes[0], 0x44);
        EXPECT_EQ(bytes[3], 0x11);
    }
}

TEST(Target, BigEndianTargetIs32Bit) {
    // The only big-endian target is the 32-bit PowerPC.
    if (kExpectBigEndian) {
        EXPECT_EQ(sizeof(void*), 4u);
        EXPECT_EQ(sizeof(long), 4u);
    }
}

TEST(Target, SharedIndexWordIsLockFree) {
    EXPECT_TRUE(std::atomic<std::uint32_t>::is_always_lock_free);
    std::atomic<std::uint64_t> wide{0};
    wide.fetch_add(1);
    EXPECT_EQ(wide.load(), 1u);
}

} // namespace
