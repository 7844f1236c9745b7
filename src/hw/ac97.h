// AC'97 codec registers (Audio Codec '97, revision 2.3), shared by the
// player's codec settings and the emulated codec. All registers are 16 bits.
#pragma once

#include <cstdint>

namespace ac97 {

inline constexpr std::uint32_t kReset = 0x00;
inline constexpr std::uint32_t kMasterVolume = 0x02;
inline constexpr std::uint32_t kHeadphoneVolume = 0x04;
inline constexpr std::uint32_t kMonoVolume = 0x06;
inline constexpr std::uint32_t kPhoneVolume = 0x0C;
inline constexpr std::uint32_t kMicVolume = 0x0E;
inline constexpr std::uint32_t kLineInVolume = 0x10;
inline constexpr std::uint32_t kCdVolume = 0x12;
inline constexpr std::uint32_t kVideoVolume = 0x14;
inline constexpr std::uint32_t kAuxVolume = 0x16;
inline constexpr std::uint32_t kPcmOutVolume = 0x18;
inline constexpr std::uint32_t kRecordGain = 0x1C;
inline constexpr std::uint16_t kVolumeMute = 0x8000;
// Master and headphone: 6-bit attenuation fields, 0 = 0 dB.
inline constexpr std::uint16_t kMasterVolumeBits = 0xBF3F;
// The mixer's gain registers (PCM out, line in, ...): 5-bit fields from
// +12 dB (0) down to -34.5 dB (31) in 1.5 dB steps; 8 is 0 dB.
inline constexpr std::uint16_t kGainVolumeBits = 0x9F1F;
inline constexpr std::uint16_t kGainField0dB = 0x08;
inline constexpr std::uint16_t kGain0dB = kGainField0dB << 8 | kGainField0dB;
inline constexpr int kGainLeftShift = 8;
inline constexpr std::uint16_t kGainFieldMask = 0x1F;

inline constexpr std::uint32_t kPowerdown = 0x26;
inline constexpr std::uint16_t kPowerdownReady = 0x000F; // RO: ADC, DAC, analog, Vref ready

inline constexpr std::uint32_t kExtAudioId = 0x28; // RO: what the codec supports
inline constexpr std::uint16_t kExtIdVra = 0x0001;
inline constexpr std::uint16_t kExtIdDra = 0x0002;
inline constexpr std::uint16_t kExtIdSpdif = 0x0004;
inline constexpr std::uint32_t kExtAudioControl = 0x2A; // extended status and control
inline constexpr std::uint16_t kExtVra = 0x0001;        //   variable-rate PCM audio
inline constexpr std::uint16_t kExtDra = 0x0002;        //   double-rate audio
inline constexpr std::uint16_t kExtSpdif = 0x0004;      //   S/PDIF transmitter on
inline constexpr std::uint16_t kExtSpsaMask = 0x0030;   //   S/PDIF slot assignment
inline constexpr int kExtSpsaShift = 4;

inline constexpr std::uint32_t kPcmFrontDacRate = 0x2C;
inline constexpr std::uint32_t kSurroundDacRate = 0x2E;
inline constexpr std::uint32_t kLfeDacRate = 0x30;
inline constexpr std::uint32_t kPcmAdcRate = 0x32;
inline constexpr std::uint32_t kMicAdcRate = 0x34;

inline constexpr std::uint32_t kSpdifControl = 0x3A;
// Bits 0-3 (PRO, /AUDIO, COPY, PRE) are bits 0-3 of the transmitted channel
// status, bits 4-11 (category code and L) its bits 8-15.
inline constexpr std::uint16_t kSpdifStatusLowMask = 0x000F;
inline constexpr std::uint16_t kSpdifNonAudio = 0x0002; // /AUDIO: data, not PCM
inline constexpr std::uint16_t kSpdifCategoryMask = 0x0FF0;
inline constexpr int kSpdifCategoryShift = 4;
inline constexpr std::uint16_t kSpdifSpsrMask = 0x3000; // transmit rate
inline constexpr int kSpdifSpsrShift = 12;
inline constexpr std::uint16_t kSpdifRate44100 = 0x0000;
inline constexpr std::uint16_t kSpdifRate48000 = 0x2000;
inline constexpr std::uint16_t kSpdifRate32000 = 0x3000;

// A register of the vendor-defined range 0x5A to 0x7A.
inline constexpr std::uint32_t kVendor6A = 0x6A;

inline constexpr std::uint32_t kVendorId1 = 0x7C;
inline constexpr std::uint32_t kVendorId2 = 0x7E;
inline constexpr std::uint32_t kLastRegister = 0x7E;

} // namespace ac97
