// What the bytes of a file the player takes as raw data look like as
// samples: the 16-bit little-endian stereo audio it plays, audio laid out
// otherwise, or no audio at all.
#pragma once

#include <cstdint>
#include <span>

namespace app {

// A way of laying samples out, as ffmpeg's raw formats name them.
struct SampleFormat {
    const char* ffmpeg; // -f NAME
    const char* what;   // "16-bit big-endian"
    int width;          // bytes a sample
};

enum class SampleVerdict {
    PlaysRight, // 16-bit little-endian stereo audio, silence, or too quiet to matter
    Layout,     // audio in another layout: format and channels
    Noise,      // bytes that look compressed or encrypted
    Unclear,    // no audio the look can tell, nor random bytes
};

struct SampleLook {
    SampleVerdict verdict = SampleVerdict::PlaysRight;
    const SampleFormat* format = nullptr;
    int channels = 2;
};

// Looks at bytes (at most the first kNoteReadSize of a file), in well under
// a millisecond.
SampleLook LookAtSamples(std::span<const std::uint8_t> bytes);

} // namespace app
