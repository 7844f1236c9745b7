#include "machine/ac97_codec.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "machine/ac97_registers.h"
#include "machine/audio_out.h"
#include "machine/byte_order.h"
#include "machine/clock.h"
#include "machine/state.h"
#include "machine/trace.h"

namespace machine {

namespace {

using ac97::kRate48000;
constexpr std::uint16_t kRateMin = 8000;
constexpr std::uint16_t kRateMax = 48000;

// Extended Audio ID of this codec: VRA and S/PDIF, following revision 2.3.
constexpr std::uint16_t kExtendedIdPowerOn =
    ac97::kIdVra | ac97::kIdSpdif | ac97::kRev23 << ac97::kIdRevShift;
static_assert(kExtendedIdPowerOn == 0x0805);

std::uint16_t& Reg(Codec& codec, std::uint32_t reg) {
    return codec.registers[(reg >> 1) & 0x3F];
}
std::uint16_t Reg(const Codec& codec, std::uint32_t reg) {
    return codec.registers[(reg >> 1) & 0x3F];
}

bool VraOn(const Codec& codec) {
    return (Reg(codec, ac97::kExtendedControl) & ac97::kExtVra) != 0;
}

void SetVraRatesTo48000(std::array<std::uint16_t, 64>& registers) {
    for (std::uint32_t reg :
         {ac97::kFrontDacRate, ac97::kSurroundDacRate, ac97::kLfeDacRate, ac97::kAdcRate}) {
        registers[reg >> 1] = kRate48000;
    }
}

// The DAC stream as the line out carries it: PCM Out Volume's mute, and its
// gain on each channel, saturating at full scale. At 0 dB the samples pass
// unchanged, and `bytes` is returned as it is.
const std::uint8_t* LineOut(std::uint16_t volume, const std::uint8_t* bytes, std::size_t size,
                            std::vector<std::uint8_t>& scratch) {
    if (volume == ac97::kGain0dB) {
        return bytes;
    }
    scratch.assign(size, 0);
    if ((volume & ac97::kMute) != 0) {
        return scratch.data();
    }
    const int fields[2] = {ac97::LeftField(volume, ac97::kGainFieldMask),
                           ac97::RightField(volume, ac97::kGainFieldMask)};
    double factor[2];
    for (int channel = 0; channel < 2; ++channel) {
        factor[channel] =
            std::pow(10.0, (ac97::kGainField0dB - fields[channel]) * ac97::kGainStepDb / 20.0);
    }
    for (std::size_t at = 0; at + 1 < size; at += 2) {
        const auto sample = static_cast<std::int16_t>(Le16(bytes + at));
        const double scaled = std::round(sample * factor[(at / 2) % 2]);
        PutLe16(&scratch[at], static_cast<std::uint16_t>(static_cast<std::int16_t>(
                                  std::clamp(scaled, -32768.0, 32767.0))));
    }
    return scratch.data();
}

} // namespace

void ResetCodec(Codec& codec, const Config& config) {
    std::array<std::uint16_t, 64> r{};
    auto set = [&r](std::uint32_t reg, std::uint16_t value) { r[reg >> 1] = value; };
    // The defaults each register's description gives.
    constexpr std::uint16_t kMuted0dB = ac97::kMute | ac97::kGain0dB;
    set(ac97::kMasterVolume, ac97::kMute);
    set(ac97::kHeadphoneVolume, ac97::kMute);
    set(ac97::kMonoVolume, ac97::kMute);
    set(ac97::kPhoneVolume, ac97::kMute | ac97::kGainField0dB);
    set(ac97::kMicVolume, ac97::kMute | ac97::kGainField0dB);
    for (std::uint32_t reg : {ac97::kLineInVolume, ac97::kCdVolume, ac97::kVideoVolume,
                              ac97::kAuxVolume, ac97::kPcmOutVolume}) {
        set(reg, kMuted0dB);
    }
    set(ac97::kRecordGain, ac97::kMute);
    set(ac97::kPowerdown, ac97::kPowerdownReady);
    set(ac97::kExtendedId, kExtendedIdPowerOn);
    set(ac97::kExtendedControl, 0x0000);
    for (std::uint32_t reg : {ac97::kFrontDacRate, ac97::kSurroundDacRate, ac97::kLfeDacRate,
                              ac97::kAdcRate, ac97::kMicAdcRate}) {
        set(reg, kRate48000);
    }
    set(ac97::kSpdifControl, ac97::SpdifRateField(ac97::kSpsr48000));
    // Vendor ID "ICE" 0x51: VIA VT1616, a codec with VRA and S/PDIF out.
    set(ac97::kVendorId1, 0x4943);
    set(ac97::kVendorId2, 0x4551);

    // What this machine's firmware leaves behind: PCM out unmuted at 0 dB,
    // vendor bits set, and VRA and the transmitter as configured.
    set(ac97::kPcmOutVolume, ac97::kGain0dB);
    set(ac97::kVendor6A, 0x0A51);
    set(ac97::kExtendedControl, static_cast<std::uint16_t>((config.vraOn ? ac97::kExtVra : 0) |
                                                           (config.spdifOn ? ac97::kExtSpdif : 0)));
    for (const auto& [reg, value] : config.codecPowerOn) {
        if (reg <= ac97::kLastRegister && (reg & 1) == 0) {
            set(reg, value);
        }
    }
    if ((r[ac97::kExtendedControl >> 1] & ac97::kExtVra) == 0) {
        SetVraRatesTo48000(r);
    }
    codec.powerOn = r;
    codec.registers = r;
}

std::uint16_t CodecRead(Machine& m, std::uint32_t reg) {
    if (reg > ac97::kLastRegister || (reg & 1) != 0) {
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
    if (reg > ac97::kLastRegister || (reg & 1) != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "codec register 0x%x does not exist",
                      static_cast<unsigned>(reg));
        Violation(m, text);
        return;
    }
    const std::uint16_t id = Reg(codec, ac97::kExtendedId);
    switch (reg) {
    case ac97::kReset:
        // Any write resets the registers to their defaults.
        codec.registers = codec.powerOn;
        break;
    case ac97::kExtendedId:
    case ac97::kVendorId1:
    case ac97::kVendorId2:
        break; // read-only
    case ac97::kPowerdown:
        // The ready bits are status, read-only.
        Reg(codec, reg) = static_cast<std::uint16_t>((value & ~ac97::kPowerdownReady) |
                                                     (Reg(codec, reg) & ac97::kPowerdownReady));
        break;
    case ac97::kMasterVolume:
    case ac97::kHeadphoneVolume:
        Reg(codec, reg) = value & ac97::kMasterBits;
        break;
    case ac97::kPcmOutVolume:
        Reg(codec, reg) = value & ac97::kGainBits;
        break;
    case ac97::kExtendedControl: {
        // Only what the codec has (Extended Audio ID) can be switched on.
        std::uint16_t writable = 0;
        if ((id & ac97::kIdVra) != 0) {
            writable |= ac97::kExtVra;
        }
        if ((id & ac97::kIdDra) != 0) {
            writable |= ac97::kExtDra;
        }
        if ((id & ac97::kIdSpdif) != 0) {
            writable |= ac97::kExtSpdif | ac97::kExtSpsaMask;
        }
        const bool vraBefore = VraOn(codec);
        Reg(codec, reg) = value & writable;
        if (vraBefore && !VraOn(codec)) {
            SetVraRatesTo48000(codec.registers);
        }
        break;
    }
    case ac97::kFrontDacRate:
    case ac97::kSurroundDacRate:
    case ac97::kLfeDacRate:
    case ac97::kAdcRate:
        // Without VRA the converters run at 48 kHz and the rate registers
        // ignore writes; with it, a rate the codec cannot make reads back as
        // the nearest one it can.
        if (VraOn(codec)) {
            Reg(codec, reg) = static_cast<std::uint16_t>(DacRateForWrite(value, true));
        }
        break;
    case ac97::kMicAdcRate:
        break; // needs VRM, which this codec does not have
    case ac97::kSpdifControl:
        // S/PDIF Control Register (Index 3Ah): it should only be written
        // while the transmitter is disabled.
        if ((Reg(codec, ac97::kExtendedControl) & ac97::kExtSpdif) != 0) {
            Violation(m, "S/PDIF control written while the S/PDIF transmitter is on");
        }
        Reg(codec, reg) = value;
        break;
    default:
        Reg(codec, reg) = value;
        break;
    }
    KickHardware(m); // a new DAC rate moves the block's end
}

std::uint32_t SpdifRateForControl(std::uint16_t control) {
    switch (ac97::SpdifRateCode(control)) {
    case ac97::kSpsr44100:
        return 44100;
    case ac97::kSpsr32000:
        return 32000;
    default:
        // 10 is 48 kHz; 01 is reserved and taken as 48 kHz here.
        return kRate48000;
    }
}

std::uint32_t DacRate(const Codec& codec) {
    return DacRateForWrite(Reg(codec, ac97::kFrontDacRate), VraOn(codec));
}

std::uint32_t DacRateForWrite(std::uint32_t value, bool vra) {
    if (!vra) {
        return kRate48000;
    }
    return std::clamp<std::uint32_t>(value & 0xFFFFu, kRateMin, kRateMax);
}

void CodecPlay(Machine& m, const std::uint8_t* bytes, std::size_t size, std::uint64_t timeNs) {
    Codec& codec = m.codec;
    const std::uint16_t volume = Reg(codec, ac97::kPcmOutVolume);
    const bool muted = (volume & ac97::kMute) != 0;
    const std::uint8_t* heard = LineOut(volume, bytes, size, codec.lineOut);
    Emit(m, Output::Dac, AudioChunk{DacRate(codec), muted, false, timeNs / 1000, heard, size});
    if ((Reg(codec, ac97::kExtendedControl) & ac97::kExtSpdif) == 0) {
        return;
    }
    const std::uint16_t control = Reg(codec, ac97::kSpdifControl);
    const bool nonAudio = (control & ac97::kSpdifNonAudio) != 0;
    Emit(m, Output::Spdif,
         AudioChunk{SpdifRateForControl(control), false, nonAudio, timeNs / 1000, bytes, size,
                    control});
}

} // namespace machine
