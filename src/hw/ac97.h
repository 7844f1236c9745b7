// AC'97 codec registers (Audio Codec '97, revision 2.3), shared by the
// player's codec settings and the emulated codec. All registers are 16 bits.
#pragma once

#include <cstdint>

namespace ac97 {

inline constexpr std::uint32_t kReset = 0x00;
inline constexpr std::uint32_t kMasterVolume = 0x02;
inline constexpr std::uint32_t kPcmOutVolume = 0x18;
inline constexpr std::uint16_t kVolumeMute = 0x8000;

inline constexpr std::uint32_t kExtAudioId = 0x28;      // RO: what the codec supports
inline constexpr std::uint32_t kExtAudioControl = 0x2A; // extended status and control
inline constexpr std::uint16_t kExtVra = 0x0001;        //   variable-rate PCM audio
inline constexpr std::uint16_t kExtSpdif = 0x0004;      //   S/PDIF transmitter on
inline constexpr std::uint16_t kExtSpsaMask = 0x0030;   //   S/PDIF slot assignment
inline constexpr int kExtSpsaShift = 4;

inline constexpr std::uint32_t kPcmFrontDacRate = 0x2C;
inline constexpr std::uint32_t kPcmAdcRate = 0x32;

inline constexpr std::uint32_t kSpdifControl = 0x3A;
inline constexpr std::uint16_t kSpdifNonAudio = 0x0002; // /AUDIO: data, not PCM
inline constexpr std::uint16_t kSpdifSpsrMask = 0x3000; // transmit rate
inline constexpr int kSpdifSpsrShift = 12;
inline constexpr std::uint16_t kSpdifRate44100 = 0x0000;
inline constexpr std::uint16_t kSpdifRate48000 = 0x2000;
inline constexpr std::uint16_t kSpdifRate32000 = 0x3000;

// A register of the vendor-defined range 0x5A to 0x7A.
inline constexpr std::uint32_t kVendor6A = 0x6A;

inline constexpr std::uint32_t kVendorId1 = 0x7C;
inline constexpr std::uint32_t kVendorId2 = 0x7E;

constexpr std::uint16_t SpdifRateBits(std::uint16_t control) {
    return static_cast<std::uint16_t>((control & kSpdifSpsrMask) >> kSpdifSpsrShift);
}

} // namespace ac97
