#include "input/headers.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>

#include "platform/byteorder.h"

namespace {

struct Ac3FrameSize {
    std::int32_t bitRate;      // kbit/s
    std::uint32_t frameLength; // bytes
};

// 48 kHz rows of the A/52 frame-size table that the player passes through;
// each pair of frmsizecod values shares a row.
inline constexpr std::uint32_t kFirstFrameSizeCode = 24;
inline constexpr Ac3FrameSize kAc3FrameSizes48k[] = {
    {256, 0x400}, {256, 0x400}, {320, 0x500}, {320, 0x500}, {384, 0x600},
    {384, 0x600}, {448, 0x700}, {448, 0x700}, {512, 0x800}, {512, 0x800},
};
inline constexpr std::uint32_t kFrameSizeRows = std::size(kAc3FrameSizes48k);

} // namespace

Ac3HeaderInfo ParseAc3SyncInfo(const std::uint8_t* header) {
    Ac3HeaderInfo info;
    const std::uint32_t fscod = (header[4] >> 6) & 3u;
    info.frameSizeCode = header[4] & 0x3Fu;

    switch (fscod) {
    case 0: {
        info.sampleRate = 48000;
        // Unsigned, so codes below the table fall outside it too.
        const std::uint32_t row = info.frameSizeCode - kFirstFrameSizeCode;
        if (row < kFrameSizeRows) {
            info.bitRate = kAc3FrameSizes48k[row].bitRate;
            info.frameLength = kAc3FrameSizes48k[row].frameLength;
        } else {
            info.refusal = Ac3Refusal::BitRate;
        }
        break;
    }
    case 1:
        info.sampleRate = 44100;
        info.refusal = Ac3Refusal::Rate44100;
        break;
    case 2:
        info.sampleRate = 32000;
        info.refusal = Ac3Refusal::Rate32000;
        break;
    default:
        info.refusal = Ac3Refusal::RateReserved;
        break;
    }
    return info;
}

void ExtendedToDouble(const void* source, double* result) {
    std::uint8_t scratch[10];
    std::memcpy(scratch, source, sizeof scratch);
    const std::uint32_t w0 = LoadBE32(scratch);
    const std::uint32_t w1 = LoadBE32(scratch + 4);
    const std::uint32_t h = LoadBE16(scratch + 8);

    // Sign and exponent bit 14, exponent bits 9..0, then mantissa bits 62..11.
    const std::uint32_t upper = (w0 & 0xC0000000u) | ((w0 << 4) & 0x3FF00000u) |
                                ((w0 << 5) & 0x000FFFF0u) | ((w1 >> 27) & 0x1Fu);
    const std::uint32_t lower = ((w1 << 5) & 0xFFFFFFE0u) | ((h >> 11) & 0x1Fu);
    *result = std::bit_cast<double>((std::uint64_t{upper} << 32) | lower);
}

std::int32_t RateFromDouble(double value) {
    constexpr double kLimit = 2147483648.0; // 2^31
    if (std::isnan(value)) {
        return 0;
    }
    if (value >= kLimit) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (value <= -kLimit - 1.0) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(value);
}
