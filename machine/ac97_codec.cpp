#include "machine/ac97_codec.h"

#include <algorithm>
#include <cstdio>

#include "hw/ac97.h"
#include "machine/state.h"
#include "machine/trace.h"

namespace machine {

namespace {

constexpr std::uint16_t kRate48000 = 48000;
constexpr std::uint16_t kRateMin = 8000;
constexpr std::uint16_t kRateMax = 48000;

constexpr std::uint32_t kPowerdown = 0x26;
constexpr std::uint32_t kSurroundDacRate = 0x2E;
constexpr std::uint32_t kLfeDacRate = 0x30;
constexpr std::uint32_t kMicAdcRate = 0x34;

// Extended Audio ID of this codec: VRA, S/PDIF, AC'97 revision 2.3 (REV = 10).
constexpr std::uint16_t kExtAudioIdPowerOn = 0x0805;
constexpr std::uint16_t kExtIdVra = 0x0001;
constexpr std::uint16_t kExtIdDra = 0x0002;
constexpr std::uint16_t kExtIdSpdif = 0x0004;

std::uint16_t& Reg(Codec& codec, std::uint32_t reg) {
    return codec.registers[(reg >> 1) & 0x3F];
}
std::uint16_t Reg(const Codec& codec, std::uint32_t reg) {
    return codec.registers[(reg >> 1) & 0x3F];
}

bool VraOn(const Codec& codec) {
    return (Reg(codec, ac97::kExtAudioControl) & ac97::kExtVra) != 0;
}

void SetVraRatesTo48000(std::array<std::uint16_t, 64>& registers) {
    for (std::uint32_t reg :
         {ac97::kPcmFrontDacRate, kSurroundDacRate, kLfeDacRate, ac97::kPcmAdcRate}) {
        registers[reg >> 1] = kRate48000;
    }
}

std::uint32_t SpdifRate(std::uint16_t control) {
    switch (ac97::SpdifRateBits(control)) {
    case 0:
        return 44100;
    case 3:
        return 32000;
    default:
        // 10 is 48 kHz; 01 is reserved and taken as 48 kHz here.
        return 48000;
    }
}

void Append(Capture& capture, const std::uint8_t* bytes, std::size_t size, std::uint32_t rate,
            bool muted, bool nonAudio) {
    const bool same = !capture.segments.empty() && capture.segments.back().rate == rate &&
                      capture.segments.back().muted == muted &&
                      capture.segments.back().nonAudio == nonAudio;
    if (!same) {
        capture.segments.push_back(Segment{capture.bytes.size(), rate, muted, nonAudio});
    }
    capture.bytes.insert(capture.bytes.end(), bytes, bytes + size);
}

} // namespace

void ResetCodec(Codec& codec, const Config& config) {
    std::array<std::uint16_t, 64>& r = codec.powerOn;
    r.fill(0);
    auto set = [&r](std::uint32_t reg, std::uint16_t value) { r[reg >> 1] = value; };
    // AC'97 2.3 register defaults (section 5.7).
    set(ac97::kMasterVolume, 0x8000);
    set(0x04, 0x8000); // headphone volume
    set(0x06, 0x8000); // mono volume
    set(0x0C, 0x8008); // phone volume
    set(0x0E, 0x8008); // mic volume
    set(0x10, 0x8808); // line in volume
    set(0x12, 0x8808); // CD volume
    set(0x14, 0x8808); // video volume
    set(0x16, 0x8808); // aux volume
    set(ac97::kPcmOutVolume, 0x8808);
    set(0x1C, 0x8000);       // record gain
    set(kPowerdown, 0x000F); // ADC, DAC, analog mixer and Vref ready
    set(ac97::kExtAudioId, kExtAudioIdPowerOn);
    set(ac97::kExtAudioControl, 0x0000);
    set(ac97::kPcmFrontDacRate, kRate48000);
    set(kSurroundDacRate, kRate48000);
    set(kLfeDacRate, kRate48000);
    set(ac97::kPcmAdcRate, kRate48000);
    set(kMicAdcRate, kRate48000);
    set(ac97::kSpdifControl, ac97::kSpdifRate48000);
    // Vendor ID "ICE" 0x51: VIA VT1616, a codec with VRA and S/PDIF out.
    set(ac97::kVendorId1, 0x4943);
    set(ac97::kVendorId2, 0x4551);

    // What this machine's firmware leaves behind: PCM out unmuted at 0 dB,
    // vendor bits set, and VRA and the transmitter as configured.
    set(ac97::kPcmOutVolume, 0x0808);
    set(ac97::kVendor6A, 0x0A51);
    set(ac97::kExtAudioControl, static_cast<std::uint16_t>((config.vraOn ? ac97::kExtVra : 0) |
                                                           (config.spdifOn ? ac97::kExtSpdif : 0)));
    for (const auto& [reg, value] : config.codecPowerOn) {
        if (reg <= 0x7E && (reg & 1) == 0) {
            set(reg, value);
        }
    }
    if ((r[ac97::kExtAudioControl >> 1] & ac97::kExtVra) == 0) {
        SetVraRatesTo48000(r);
    }
    codec.registers = codec.powerOn;
}

std::uint16_t CodecRead(Machine& m, std::uint32_t reg) {
    if (reg > 0x7E || (reg & 1) != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "codec register 0x%x does not exist",
                      static_cast<unsigned>(reg));
        Violation(m, text);
        return 0;
    }
    return Reg(m.codec, reg);
}

void CodecWrite(Machine& m, std::uint32_t reg, std::uint16_t value) {
    Codec& codec = m.codec;
    if (reg > 0x7E || (reg & 1) != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "codec register 0x%x does not exist",
                      static_cast<unsigned>(reg));
        Violation(m, text);
        return;
    }
    const std::uint16_t id = Reg(codec, ac97::kExtAudioId);
    switch (reg) {
    case ac97::kReset:
        // Any write resets the registers to their defaults.
        codec.registers = codec.powerOn;
        break;
    case ac97::kExtAudioId:
    case ac97::kVendorId1:
    case ac97::kVendorId2:
        break; // read-only
    case kPowerdown:
        // The ready bits 3:0 are status, read-only.
        Reg(codec, reg) = static_cast<std::uint16_t>((value & 0xFF00) | (Reg(codec, reg) & 0x000F));
        break;
    case ac97::kMasterVolume:
    case 0x04:
        Reg(codec, reg) = value & 0xBF3F;
        break;
    case ac97::kPcmOutVolume:
        Reg(codec, reg) = value & 0x9F1F;
        break;
    case ac97::kExtAudioControl: {
        // Only what the codec has (Extended Audio ID) can be switched on.
        std::uint16_t writable = 0;
        if ((id & kExtIdVra) != 0) {
            writable |= ac97::kExtVra;
        }
        if ((id & kExtIdDra) != 0) {
            writable |= 0x0002;
        }
        if ((id & kExtIdSpdif) != 0) {
            writable |= ac97::kExtSpdif | ac97::kExtSpsaMask;
        }
        const bool vraBefore = VraOn(codec);
        Reg(codec, reg) = value & writable;
        if (vraBefore && !VraOn(codec)) {
            SetVraRatesTo48000(codec.registers);
        }
        break;
    }
    case ac97::kPcmFrontDacRate:
    case kSurroundDacRate:
    case kLfeDacRate:
    case ac97::kPcmAdcRate:
        // Without VRA the converters run at 48 kHz and the rate registers
        // ignore writes; with it, a rate the codec cannot make reads back as
        // the nearest one it can.
        if (VraOn(codec)) {
            Reg(codec, reg) = std::clamp(value, kRateMin, kRateMax);
        }
        break;
    case kMicAdcRate:
        break; // needs VRM, which this codec does not have
    case ac97::kSpdifControl:
        // AC'97 2.3, 5.8.5: S/PDIF control should only be written while the
        // transmitter is disabled.
        if ((Reg(codec, ac97::kExtAudioControl) & ac97::kExtSpdif) != 0) {
            Violation(m, "S/PDIF control written while the S/PDIF transmitter is on");
        }
        Reg(codec, reg) = value;
        break;
    default:
        Reg(codec, reg) = value;
        break;
    }
}

std::uint32_t DacRate(const Codec& codec) {
    if (!VraOn(codec)) {
        return kRate48000;
    }
    return std::clamp<std::uint32_t>(Reg(codec, ac97::kPcmFrontDacRate), kRateMin, kRateMax);
}

void CodecPlay(Machine& m, const std::uint8_t* bytes, std::size_t size, std::uint64_t timeNs) {
    const Codec& codec = m.codec;
    const std::uint32_t dacRate = DacRate(codec);
    const bool muted = (Reg(codec, ac97::kPcmOutVolume) & ac97::kVolumeMute) != 0;
    if (m.config.captureAudio) {
        Append(m.result.dac, bytes, size, dacRate, muted, false);
    }
    if (m.config.dacSink != nullptr) {
        m.config.dacSink->Write(AudioChunk{dacRate, muted, false, timeNs / 1000, bytes, size});
    }
    if ((Reg(codec, ac97::kExtAudioControl) & ac97::kExtSpdif) == 0) {
        return;
    }
    const std::uint16_t control = Reg(codec, ac97::kSpdifControl);
    const std::uint32_t rate = SpdifRate(control);
    const bool nonAudio = (control & ac97::kSpdifNonAudio) != 0;
    if (m.config.captureAudio) {
        Append(m.result.spdif, bytes, size, rate, false, nonAudio);
    }
    if (m.config.spdifSink != nullptr) {
        m.config.spdifSink->Write(AudioChunk{rate, false, nonAudio, timeNs / 1000, bytes, size});
    }
}

} // namespace machine
