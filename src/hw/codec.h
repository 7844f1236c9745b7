// Codec settings for one playback: the rate, and the S/PDIF transmitter's
// rate and data flag when it is on; put back afterwards.
#pragma once

#include <cstdint>

#include "input/input_format.h"
#include "platform/ac97mixer.h"

struct CodecSavedState {
    std::uint16_t spdifControl = 0;    // built for S/PDIF control at setup
    std::uint16_t extAudioControl = 0; // working copy of extended audio control
    std::uint32_t savedVendor6A = 0;   // as read at setup
    std::uint32_t savedPcmOutVolume = 0;
    std::uint32_t savedDacRate = 0;
    bool spdifSaved = false; // setup found the transmitter on and saved the above
};

// The S/PDIF control value for a playback: the transmit rate, and the
// non-audio flag for AC-3 bursts.
std::uint16_t SpdifControlFor(PlayMode mode, std::int32_t rate);

void SetupCodec(Library* mixerBase, Mixer* mixer, PlayMode mode, std::int32_t playbackRate,
                CodecSavedState* saved);
void RestoreCodec(Library* mixerBase, Mixer* mixer, CodecSavedState* saved);
