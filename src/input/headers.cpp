#include "input/headers.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>

#include "platform/byteorder.h"

namespace {

// A/52 bitrates in kbit/s; each pair of frmsizecod values shares a row.
inline constexpr std::int32_t kAc3BitRates[] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                                192, 224, 256, 320, 384, 448, 512, 576, 640};
// The 48 kHz codes the player passes through: 256 to 512 kbit/s.
inline constexpr std::uint32_t kFirstFrameSizeCode = 24, kLastFrameSizeCode = 33;
// At 48 kHz a frame of 1536 samples takes 4 bytes per kbit/s.
inline constexpr std::uint32_t kFrameBytesPerKbit = 4;

} // namespace

std::int32_t Ac3BitRate(std::uint32_t frameSizeCode) {
    return frameSizeCode / 2 < std::size(kAc3BitRates) ? kAc3BitRates[frameSizeCode / 2] : 0;
}

const char* Ac3RefusalFormat(Ac3Refusal refusal) {
    switch (refusal) {
    case Ac3Refusal::None:
        break;
    case Ac3Refusal::BitRate:
        return "Unsupported bitrate (code %ld)\n";
    case Ac3Refusal::Rate44100:
        return "Unsupported samplerate 44.1khz\n";
    case Ac3Refusal::Rate32000:
        return "Unsupported samplerate 32khz\n";
    case Ac3Refusal::RateReserved:
        return "Unsupported samplerate\n";
    }
    return "";
}

Ac3HeaderInfo ParseAc3SyncInfo(const std::uint8_t* header) {
    Ac3HeaderInfo info;
    const std::uint32_t fscod = (header[4] >> 6) & 3u;
    info.frameSizeCode = header[4] & 0x3Fu;

    switch (fscod) {
    case 0:
        info.sampleRate = 48000;
        if (info.frameSizeCode >= kFirstFrameSizeCode && info.frameSizeCode <= kLastFrameSizeCode) {
            info.bitRate = Ac3BitRate(info.frameSizeCode);
            info.frameLength = static_cast<std::uint32_t>(info.bitRate) * kFrameBytesPerKbit;
        } else {
            info.refusal = Ac3Refusal::BitRate;
        }
        break;
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
