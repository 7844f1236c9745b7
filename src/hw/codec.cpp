#include "hw/codec.h"

#include "hw/ac97.h"

namespace {

std::uint32_t RateValue(std::int32_t rate) {
    return static_cast<std::uint32_t>(rate);
}

} // namespace

std::uint16_t SpdifControlFor(PlayMode mode, std::int32_t rate) {
    std::uint16_t control = ac97::kSpdifRate48000;
    if (rate == 44100) {
        control = ac97::kSpdifRate44100;
    } else if (rate == 32000) {
        control = ac97::kSpdifRate32000;
    }
    if (mode == PlayMode::Ac3) {
        control |= ac97::kSpdifNonAudio;
    }
    return control;
}

void SetupCodec(Library* mixerBase, Mixer* mixer, PlayMode mode, std::int32_t playbackRate,
                CodecSavedState* saved) {
    saved->extAudioControl =
        static_cast<std::uint16_t>(ReadCodecRegister(mixerBase, mixer, ac97::kExtAudioControl));
    saved->savedDacRate = ReadCodecRegister(mixerBase, mixer, ac97::kPcmFrontDacRate);

    if ((saved->extAudioControl & ac97::kExtSpdif) != 0) {
        // S/PDIF control may only change while the transmitter is off.
        WriteCodecRegister(mixerBase, mixer, ac97::kExtAudioControl, 0x0000);
        saved->spdifControl = SpdifControlFor(mode, playbackRate);
        WriteCodecRegister(mixerBase, mixer, ac97::kSpdifControl, saved->spdifControl);

        saved->savedVendor6A = ReadCodecRegister(mixerBase, mixer, ac97::kVendor6A);
        saved->savedPcmOutVolume = ReadCodecRegister(mixerBase, mixer, ac97::kPcmOutVolume);
        saved->spdifSaved = true;
        if (mode == PlayMode::Ac3) {
            // Bursts are data: fixed 48 kHz, and never heard through the DAC.
            saved->extAudioControl &= static_cast<std::uint16_t>(~ac97::kExtVra);
            WriteCodecRegister(mixerBase, mixer, ac97::kVendor6A, 0x0000);
            WriteCodecRegister(mixerBase, mixer, ac97::kPcmOutVolume, ac97::kVolumeMute);
        } else {
            saved->extAudioControl |= ac97::kExtVra;
            WriteCodecRegister(mixerBase, mixer, ac97::kVendor6A, 0x0000);
            // 0 dB. Gain field 0 would be +12 dB, and full-scale PCM would clip.
            WriteCodecRegister(mixerBase, mixer, ac97::kPcmOutVolume, ac97::kGain0dB);
        }
        // Slots 3 and 4; the SPDIF bit is still set, so the transmitter comes back on.
        saved->extAudioControl &= static_cast<std::uint16_t>(~ac97::kExtSpsaMask);
        WriteCodecRegister(mixerBase, mixer, ac97::kExtAudioControl, saved->extAudioControl);
    }
    WriteCodecRegister(mixerBase, mixer, ac97::kPcmFrontDacRate, RateValue(playbackRate));
    WriteCodecRegister(mixerBase, mixer, ac97::kPcmAdcRate, RateValue(playbackRate));
}

void RestoreCodec(Library* mixerBase, Mixer* mixer, CodecSavedState* saved) {
    const auto now =
        static_cast<std::uint16_t>(ReadCodecRegister(mixerBase, mixer, ac97::kExtAudioControl));
    saved->extAudioControl = now;
    if ((now & ac97::kExtSpdif) != 0) {
        WriteCodecRegister(mixerBase, mixer, ac97::kExtAudioControl,
                           now & static_cast<std::uint16_t>(~ac97::kExtSpdif));
        WriteCodecRegister(mixerBase, mixer, ac97::kSpdifControl, ac97::kSpdifRate48000);
        // Only what setup saved goes back: with the transmitter off at setup
        // nothing was read, and the codec's own values stay.
        if (saved->spdifSaved) {
            WriteCodecRegister(mixerBase, mixer, ac97::kVendor6A, saved->savedVendor6A);
            WriteCodecRegister(mixerBase, mixer, ac97::kPcmOutVolume, saved->savedPcmOutVolume);
        }
        WriteCodecRegister(mixerBase, mixer, ac97::kExtAudioControl, now);
    }
    WriteCodecRegister(mixerBase, mixer, ac97::kPcmFrontDacRate, saved->savedDacRate);
    WriteCodecRegister(mixerBase, mixer, ac97::kPcmAdcRate, saved->savedDacRate);
}
