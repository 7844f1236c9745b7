// The host's sound device as a sink: S16_LE stereo at the rate of each chunk.
#pragma once

#include <memory>
#include <string>

#include "machine/machine.h"

namespace app {

// nullptr when the build has no ALSA or the PCM does not open; the caller
// then plays silently. *error gets ALSA's reason when there was one to open.
// A PCM that fails later goes quiet the same way.
std::unique_ptr<machine::AudioSink> OpenAlsaSink(const std::string& pcm, std::string* error);

} // namespace app
