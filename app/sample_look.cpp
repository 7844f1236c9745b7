#include "app/sample_look.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <type_traits>

namespace app {

namespace {

// Audio is predictable from its last two samples; bytes read in the wrong
// layout are not. Each layout is judged by how much of each channel a
// second-order linear predictor removes (dB), the worst channel counting,
// on the same few blocks of bytes spread over what is looked at, so the cost
// stays flat. A block holds whole frames of every layout.
constexpr std::size_t kBlocks = 4, kBlockBytes = 1200;

// Another layout wins when it predicts better by this much.
constexpr double kWinsByDb = 4;
// Below this, 16-bit little-endian data is no better than white noise.
constexpr double kNoiseDb = 3;
// Quieter than this, whatever the layout, it plays as near silence.
constexpr double kQuietDbfs = -50;
// Past this, a layout predicts as well as audio does; tones go far past it
// in any layout that keeps their samples whole, by amounts that say nothing.
constexpr double kCeilingDb = 30;
// Bits of entropy a byte of compressed or encrypted data has, near enough.
constexpr double kRandomBits = 7.9;
// Mono read as stereo: the right channel lies near the midpoint of the left
// one's neighbours, much nearer than to the left sample of its own frame.
constexpr double kMonoRatio = 0.6;

enum class Code { S16le, S16be, U8, S8, S24le, S24be, S32le, S32be, F32le, F32be, F64le, F64be };

const SampleFormat kFormats[] = {
    {"s16le", "16-bit little-endian", 2},
    {"s16be", "16-bit big-endian", 2},
    {"u8", "8-bit unsigned", 1},
    {"s8", "8-bit signed", 1},
    {"s24le", "24-bit little-endian", 3},
    {"s24be", "24-bit big-endian", 3},
    {"s32le", "32-bit little-endian", 4},
    {"s32be", "32-bit big-endian", 4},
    {"f32le", "32-bit float little-endian", 4},
    {"f32be", "32-bit float big-endian", 4},
    {"f64le", "64-bit float little-endian", 8},
    {"f64be", "64-bit float big-endian", 8},
};

// The order in which layouts challenge the player's: each must beat the one
// standing by kWinsByDb, so a wider layout that holds a narrower one's
// samples does not win on a tie.
constexpr Code kChallengers[] = {Code::S16be, Code::S24le, Code::S24be, Code::U8,
                                 Code::S8,    Code::S32le, Code::S32be, Code::F32le,
                                 Code::F32be, Code::F64le, Code::F64be};

template <int W, bool Big>
std::uint64_t Bits(const std::uint8_t* at) {
    std::uint64_t bits = 0;
    for (int i = 0; i < W; ++i) {
        bits |= std::uint64_t{at[Big ? W - 1 - i : i]} << (8 * i);
    }
    return bits;
}

template <int W, bool Big>
void DecodeInteger(const std::uint8_t* at, std::size_t n, float* x) {
    constexpr std::uint64_t kTop = std::uint64_t{1} << (8 * W - 1);
    constexpr float kScale = 1.0f / static_cast<float>(kTop);
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = static_cast<float>(static_cast<std::int64_t>(Bits<W, Big>(at + i * W) ^ kTop) -
                                  static_cast<std::int64_t>(kTop)) *
               kScale;
    }
}

// Floats that no audio holds make it false.
template <typename T, bool Big>
bool DecodeFloat(const std::uint8_t* at, std::size_t n, float* x) {
    using Word = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    for (std::size_t i = 0; i < n; ++i) {
        const T v = std::bit_cast<T>(static_cast<Word>(Bits<sizeof(T), Big>(at + i * sizeof(T))));
        if (!(std::fabs(v) <= 8)) {
            return false;
        }
        x[i] = static_cast<float>(v);
    }
    return true;
}

// n samples from at as fractions of full scale.
bool Decode(Code code, const std::uint8_t* at, std::size_t n, float* x) {
    switch (code) {
    case Code::S16le:
        DecodeInteger<2, false>(at, n, x);
        break;
    case Code::S16be:
        DecodeInteger<2, true>(at, n, x);
        break;
    case Code::U8:
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = (static_cast<float>(at[i]) - 128) / 128;
        }
        break;
    case Code::S8:
        DecodeInteger<1, false>(at, n, x);
        break;
    case Code::S24le:
        DecodeInteger<3, false>(at, n, x);
        break;
    case Code::S24be:
        DecodeInteger<3, true>(at, n, x);
        break;
    case Code::S32le:
        DecodeInteger<4, false>(at, n, x);
        break;
    case Code::S32be:
        DecodeInteger<4, true>(at, n, x);
        break;
    case Code::F32le:
        return DecodeFloat<float, false>(at, n, x);
    case Code::F32be:
        return DecodeFloat<float, true>(at, n, x);
    case Code::F64le:
        return DecodeFloat<double, false>(at, n, x);
    case Code::F64be:
        return DecodeFloat<double, true>(at, n, x);
    }
    return true;
}

// Sums over a block of one layout, for the even and odd samples apart.
struct Sums {
    double n[2]{}, sum[2]{}, squares[2]{};
    double lag1 = 0, lag2[2]{}, lag4[2]{};
};

// A layout's blocks, each judged apart, so that a header or a click in one
// does not speak for the rest.
struct Measured {
    Sums blocks[kBlocks];
    std::size_t count = 0;
    bool valid = true;
    double squares = 0, n = 0, same = 0, middle = 0; // over all blocks
};

Measured Measure(Code code, std::span<const std::uint8_t> bytes) {
    Measured m;
    const auto w = static_cast<std::size_t>(kFormats[static_cast<int>(code)].width);
    m.count = std::clamp<std::size_t>(bytes.size() / kBlockBytes, 1, kBlocks);
    float x[kBlockBytes];
    for (std::size_t b = 0; b < m.count && m.valid; ++b) {
        const std::size_t first = bytes.size() / kBlockBytes * b / m.count * kBlockBytes;
        const std::size_t n = std::min(kBlockBytes, bytes.size() - first) / (2 * w) * 2;
        m.valid = Decode(code, &bytes[first], n, x);
        // In floats, each sum its own chain, so that they pipeline.
        float sum[2]{}, squares[2]{}, lag1 = 0, lag2[2]{}, lag4[2]{}, same = 0, middle = 0;
        for (std::size_t i = 4; m.valid && i + 2 < n; i += 2) {
            const float l = x[i], r = x[i + 1], d = r - l, c = r - (l + x[i + 2]) / 2;
            sum[0] += l;
            sum[1] += r;
            squares[0] += l * l;
            squares[1] += r * r;
            lag1 += l * x[i - 1] + r * l;
            lag2[0] += l * x[i - 2];
            lag2[1] += r * x[i - 1];
            lag4[0] += l * x[i - 4];
            lag4[1] += r * x[i - 3];
            same += d * d;
            middle += c * c;
        }
        const double frames = n >= 6 ? static_cast<double>(n - 6) / 2 : 0;
        Sums& s = m.blocks[b];
        s = {.n = {frames, frames},
             .sum = {sum[0], sum[1]},
             .squares = {squares[0], squares[1]},
             .lag1 = lag1,
             .lag2 = {lag2[0], lag2[1]},
             .lag4 = {lag4[0], lag4[1]}};
        m.squares += double{squares[0]} + squares[1];
        m.n += 2 * frames;
        m.same += same;
        m.middle += middle;
    }
    return m;
}

// How much a second-order predictor removes, dB, from a signal with these
// sums, r1 and r2 its products at one and two samples apart; -1 when silent.
double GainDb(double n, double sum, double squares, double r1, double r2) {
    const double mean = sum / n, variance = squares / n - mean * mean;
    if (n < 16 || variance <= 1e-12 * (squares / n) || variance <= 0) {
        return -1;
    }
    const double p1 = (r1 / n - mean * mean) / variance, p2 = (r2 / n - mean * mean) / variance;
    const double left = std::max(1 - p1 * p1, 1e-9);
    const double residual = left - (p2 - p1 * p1) * (p2 - p1 * p1) / left;
    return std::min(kCeilingDb, -10 * std::log10(std::max(residual, 1e-9)));
}

// As mono, or as stereo by its worst channel that is not silent; -1 for a
// silent block.
double GainDb(const Sums& s, int channels) {
    if (channels == 1) {
        return GainDb(s.n[0] + s.n[1], s.sum[0] + s.sum[1], s.squares[0] + s.squares[1], s.lag1,
                      s.lag2[0] + s.lag2[1]);
    }
    const double even = GainDb(s.n[0], s.sum[0], s.squares[0], s.lag2[0], s.lag4[0]);
    const double odd = GainDb(s.n[1], s.sum[1], s.squares[1], s.lag2[1], s.lag4[1]);
    return even < 0 ? odd : odd < 0 ? even : std::min(even, odd);
}

// The median over the blocks that are not silent; 0 for a layout that
// cannot be, or when all are.
double GainDb(const Measured& m, int channels) {
    double gains[kBlocks];
    std::size_t count = 0;
    for (std::size_t b = 0; m.valid && b < m.count; ++b) {
        const double db = GainDb(m.blocks[b], channels);
        std::size_t i = db >= 0 ? count++ : kBlocks;
        // Put in order as they come: a handful.
        for (; i < kBlocks && i > 0 && gains[i - 1] > db; --i) {
            gains[i] = gains[i - 1];
        }
        if (i < kBlocks) {
            gains[i] = db;
        }
    }
    return count == 0 ? 0 : gains[count / 2];
}

double GainDb(const Measured& m) {
    return std::max(GainDb(m, 1), GainDb(m, 2));
}

bool Mono(const Measured& m) {
    return m.middle < kMonoRatio * m.same;
}

// The entropy in bits of the bytes at even and at odd offsets, and of the
// steps from each byte to the next, whichever is lowest, with the
// Miller-Madow correction for a short count. Compressed or encrypted bytes
// are random in all three; a counter or a ramp is not in its steps.
double ByteEntropy(std::span<const std::uint8_t> bytes) {
    std::array<std::array<std::uint32_t, 256>, 3> counts{};
    for (std::size_t i = 1; i < bytes.size(); ++i) {
        ++counts[i & 1][bytes[i]];
        ++counts[2][static_cast<std::uint8_t>(bytes[i] - bytes[i - 1])];
    }
    const double n = static_cast<double>(bytes.size()) / 2;
    double lowest = 8;
    for (std::size_t k = 0; k < 3; ++k) {
        const double total = k == 2 ? 2 * n : n;
        double bits = 0, used = 0;
        for (const std::uint32_t c : counts[k]) {
            if (c != 0) {
                bits -= c / total * std::log2(c / total);
                ++used;
            }
        }
        lowest = std::min(lowest, bits + (used - 1) / (2 * total * std::log(2.0)));
    }
    return lowest;
}

} // namespace

SampleLook LookAtSamples(std::span<const std::uint8_t> bytes) {
    const Measured player = Measure(Code::S16le, bytes);
    const double dbfs = 10 * std::log10(player.squares / std::max(player.n, 1.0) + 1e-30);
    if (player.n == 0 || dbfs < kQuietDbfs) {
        return {};
    }
    Code best = Code::S16le;
    Measured bestSums = player;
    double bestDb = GainDb(player);
    const double playerDb = GainDb(player, 2);
    for (const Code code : kChallengers) {
        const Measured m = Measure(code, bytes);
        if (const double db = GainDb(m); db > bestDb + kWinsByDb) {
            best = code;
            bestSums = m;
            bestDb = db;
        }
    }
    // 8-bit samples read in pairs are a smooth mono signal too, no more
    // predictable than the bytes themselves.
    if (best == Code::S16le && playerDb >= kNoiseDb && Mono(player)) {
        for (const Code code : {Code::U8, Code::S8}) {
            const Measured m = Measure(code, bytes);
            if (GainDb(m) >= GainDb(player, 1)) {
                best = code;
                bestSums = m;
            }
        }
    }
    if (best != Code::S16le || (playerDb >= kNoiseDb && Mono(player))) {
        return {SampleVerdict::Layout, &kFormats[static_cast<int>(best)], Mono(bestSums) ? 1 : 2};
    }
    if (playerDb >= kNoiseDb) {
        return {};
    }
    return {ByteEntropy(bytes) > kRandomBits ? SampleVerdict::Noise : SampleVerdict::Unclear};
}

} // namespace app
