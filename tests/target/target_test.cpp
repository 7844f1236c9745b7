// The processor a build runs on: the byte order the build expects, seen both
// by the compiler and in memory at run time (an emulator running the program
// with the wrong order would show there), and the word size of the one
// big-endian target.
#include <cstdint>

#include <gtest/gtest.h>

#ifndef KESTREL_EXPECT_BIG_ENDIAN
#error "KESTREL_EXPECT_BIG_ENDIAN must be defined by the build"
#endif

// The byte order and word size are the expected ones.
TEST(Target, ByteOrderAndWordSize) {
    constexpr bool kBigEndian = KESTREL_EXPECT_BIG_ENDIAN != 0;
    EXPECT_EQ(__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__, kBigEndian);
    // A volatile word's first byte is read from memory, not worked out by the compiler.
    volatile std::uint32_t word = 0x11223344u;
    EXPECT_EQ(reinterpret_cast<volatile unsigned char*>(&word)[0], kBigEndian ? 0x11 : 0x44);
    // The only big-endian target is the 32-bit PowerPC.
    if (kBigEndian) {
        EXPECT_EQ(sizeof(void*), 4u);
        EXPECT_EQ(sizeof(long), 4u);
    }
}
