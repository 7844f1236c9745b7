// The host's sound devices as sinks: S16_LE stereo at the rate of each chunk.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "machine/machine.h"

namespace app {

// nullptr when the build has no ALSA or the PCM does not open; the caller
// then plays silently. *error gets ALSA's reason when there was one to open.
// A PCM that fails later goes quiet the same way.
std::unique_ptr<machine::AudioSink> OpenAlsaSink(const std::string& pcm, std::string* error);

// The same for the S/PDIF output, to an IEC958 device whose channel status
// follows the codec's S/PDIF control: the PCM is opened with AES0-AES3
// parameters, or, on a sound card, its "IEC958 Playback Default" control is
// set. Where neither takes, the stream goes out as it is and `who` (the
// program and option) prints one line on standard error saying so.
std::unique_ptr<machine::AudioSink> OpenIec958Sink(const std::string& pcm, const std::string& who,
                                                   std::string* error);

// AES0 to AES3 of the consumer channel status that S/PDIF control `control`
// (register 0x3A) makes the codec transmit.
std::array<std::uint8_t, 4> Iec958Status(std::uint16_t control);

// "NAME:AES0=0x02,AES1=0x00,AES2=0x00,AES3=0x02", or with ',' when NAME has
// arguments already.
std::string WithAesParameters(const std::string& pcm, const std::array<std::uint8_t, 4>& status);

} // namespace app
