// What input detection decides once, from the start of the file, for the
// whole playback.
#pragma once

#include <cstdint>

#include "hw/dma_block.h"

enum class PlayMode { IffPcm, Ac3, Raw };

inline constexpr std::int32_t kDefaultRate = 48000;

// Detection reads this much from the start of every file. An AIFF file is
// taken to be laid out as a plain one is: the rate at byte 28 (the common
// chunk's 80-bit sample rate) and the samples from the header's end.
inline constexpr std::uint32_t kHeaderReadSize = 46;
inline constexpr std::uint32_t kIffRateOffset = 28;

// Why an AC-3 stream is not passed through.
enum class Ac3Refusal {
    None,
    BitRate,      // 48 kHz, but a frame size code outside the table
    Rate44100,    // fscod 1
    Rate32000,    // fscod 2
    RateReserved, // fscod 3
};

struct Ac3HeaderInfo {
    Ac3Refusal refusal = Ac3Refusal::None;
    std::uint32_t frameSizeCode = 0; // frmsizecod, as the stream gives it
    std::int32_t sampleRate = -1;    // Hz; -1: no rate found
    std::int32_t bitRate = 0;        // kbit/s; 0: not supported
    std::uint32_t frameLength = kTransferBufferSize;
};

struct InputFormat {
    PlayMode playMode = PlayMode::Raw;
    std::int32_t playbackRate = kDefaultRate;
    bool swapBytes = false;          // file words are big-endian
    std::uint32_t payloadOffset = 0; // where file data goes in a transfer buffer
    std::uint32_t readSize = kTransferBufferSize;
    std::uint32_t frameLength = kTransferBufferSize;
};
