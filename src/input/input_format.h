// What input detection decides once, from the start of the file, for the
// whole playback.
#pragma once

#include <cstdint>

#include "hw/dma_block.h"

enum class PlayMode { IffPcm, Ac3, Raw };

inline constexpr std::int32_t kDefaultRate = 48000;

struct Ac3HeaderInfo {
    std::int32_t sampleRate = -1; // Hz; -1: no rate found
    std::int32_t bitRate = 0;     // kbit/s; 0: not supported
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
