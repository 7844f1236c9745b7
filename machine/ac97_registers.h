// The AC'97 codec's registers as the machine models them, written from
// Intel's Audio Codec '97, revision 2.3: its register map (16-bit registers
// at the even indices 00h to 7Eh) and the description of each register,
// cited here by its name and index. The player has definitions of its own;
// these are the machine's, so that a misreading is not in both.
//
// Trailing comments give access: RO read-only, RW; a bit the codec does not
// have reads 0.
#pragma once

#include <cstdint>

namespace machine::ac97 {

inline constexpr std::uint32_t kLastRegister = 0x7E;

// Reset Register (Index 00h): any write puts every register back to its
// default.
inline constexpr std::uint32_t kReset = 0x00; // RW

// Bit 15 of every volume and gain register mutes it.
inline constexpr std::uint16_t kMute = 0x8000;

// Master Volume (Index 02h), Headphone Volume (04h) and Master Volume Mono
// (06h): attenuation fields of 6 bits, 0 dB at 0, in 1.5 dB steps.
inline constexpr std::uint32_t kMasterVolume = 0x02;         // RW
inline constexpr std::uint32_t kHeadphoneVolume = 0x04;      // RW
inline constexpr std::uint32_t kMonoVolume = 0x06;           // RW
inline constexpr std::uint16_t kAttenuationFieldMask = 0x3F; //   each channel
inline constexpr int kLeftShift = 8;                         //   left above right
inline constexpr std::uint16_t kMasterBits =
    kMute | kAttenuationFieldMask << kLeftShift | kAttenuationFieldMask;
static_assert(kMasterBits == 0xBF3F);

// Phone Volume (Index 0Ch) to PCM Out Volume (18h): the mixer's inputs.
// Their gain fields are 5 bits, from +12 dB at 0 down to -34.5 dB at 31 in
// 1.5 dB steps, 0 dB at 8; phone and mic have the right field only.
inline constexpr std::uint32_t kPhoneVolume = 0x0C;   // RW
inline constexpr std::uint32_t kMicVolume = 0x0E;     // RW
inline constexpr std::uint32_t kLineInVolume = 0x10;  // RW
inline constexpr std::uint32_t kCdVolume = 0x12;      // RW
inline constexpr std::uint32_t kVideoVolume = 0x14;   // RW
inline constexpr std::uint32_t kAuxVolume = 0x16;     // RW
inline constexpr std::uint32_t kPcmOutVolume = 0x18;  // RW
inline constexpr std::uint16_t kGainFieldMask = 0x1F; //   each channel
inline constexpr std::uint16_t kGainField0dB = 8;
inline constexpr double kGainStepDb = 1.5;
inline constexpr std::uint16_t kGainBits = kMute | kGainFieldMask << kLeftShift | kGainFieldMask;
static_assert(kGainBits == 0x9F1F);

constexpr std::uint16_t GainFields(std::uint16_t left, std::uint16_t right) {
    return static_cast<std::uint16_t>(left << kLeftShift | right);
}
inline constexpr std::uint16_t kGain0dB = GainFields(kGainField0dB, kGainField0dB);
static_assert(kGain0dB == 0x0808);

constexpr std::uint16_t LeftField(std::uint16_t value, std::uint16_t mask) {
    return static_cast<std::uint16_t>(value >> kLeftShift & mask);
}
constexpr std::uint16_t RightField(std::uint16_t value, std::uint16_t mask) {
    return static_cast<std::uint16_t>(value & mask);
}

// Record Gain Register (Index 1Ch).
inline constexpr std::uint32_t kRecordGain = 0x1C; // RW

// Powerdown Control/Status Register (Index 26h).
inline constexpr std::uint32_t kPowerdown = 0x26;        // RW
inline constexpr std::uint16_t kPowerdownReady = 0x000F; //   RO: ADC, DAC, analog, Vref ready

// Extended Audio ID Register (Index 28h): what the codec has.
inline constexpr std::uint32_t kExtendedId = 0x28;  // RO
inline constexpr std::uint16_t kIdVra = 0x0001;     //   variable-rate PCM audio
inline constexpr std::uint16_t kIdDra = 0x0002;     //   double-rate audio
inline constexpr std::uint16_t kIdSpdif = 0x0004;   //   an S/PDIF transmitter
inline constexpr std::uint16_t kIdRevMask = 0x0C00; //   REV1:0: the revision it follows
inline constexpr int kIdRevShift = 10;
inline constexpr std::uint16_t kRev23 = 2;

constexpr std::uint16_t IdRevision(std::uint16_t id) {
    return static_cast<std::uint16_t>((id & kIdRevMask) >> kIdRevShift);
}

// Extended Audio Status and Control Register (Index 2Ah): a feature the ID
// register lacks cannot be switched on.
inline constexpr std::uint32_t kExtendedControl = 0x2A; // RW
inline constexpr std::uint16_t kExtVra = 0x0001;        //   variable-rate PCM audio
inline constexpr std::uint16_t kExtDra = 0x0002;        //   double-rate audio
inline constexpr std::uint16_t kExtSpdif = 0x0004;      //   the S/PDIF transmitter on
inline constexpr std::uint16_t kExtSpsaMask = 0x0030;   //   SPSA1:0: S/PDIF slot assignment
inline constexpr int kExtSpsaShift = 4;

// Audio Sample Rate Control Registers (Index 2Ch to 34h): Hz, 48000 at
// reset. With VRA off the converters run at 48000 Hz and ignore writes.
inline constexpr std::uint32_t kFrontDacRate = 0x2C;    // RW
inline constexpr std::uint32_t kSurroundDacRate = 0x2E; // RW
inline constexpr std::uint32_t kLfeDacRate = 0x30;      // RW
inline constexpr std::uint32_t kAdcRate = 0x32;         // RW
inline constexpr std::uint32_t kMicAdcRate = 0x34;      // RW: only with VRM
inline constexpr std::uint16_t kRate48000 = 48000;

// S/PDIF Control Register (Index 3Ah): the channel status the transmitter
// sends. Bits 3:0 are its bits 0-3 (PRO, /AUDIO, COPY, PRE); the category
// code and L, bits 11:4, its bits 8-15.
inline constexpr std::uint32_t kSpdifControl = 0x3A;        // RW, while the transmitter is off
inline constexpr std::uint16_t kSpdifNonAudio = 0x0002;     //   /AUDIO: data, not PCM
inline constexpr std::uint16_t kSpdifStatusBits = 0x000F;   //   PRO, /AUDIO, COPY, PRE
inline constexpr std::uint16_t kSpdifCategoryMask = 0x07F0; //   CC6:0
inline constexpr std::uint16_t kSpdifLevel = 0x0800;        //   L
inline constexpr std::uint16_t kSpdifSpsrMask = 0x3000;     //   SPSR1:0: the rate it sends at
inline constexpr int kSpdifSpsrShift = 12;
inline constexpr std::uint16_t kSpsr44100 = 0;
inline constexpr std::uint16_t kSpsr48000 = 2;
inline constexpr std::uint16_t kSpsr32000 = 3;
inline constexpr int kSpdifStatusByte1Shift = 4;
inline constexpr std::uint16_t kSpdifStatusByte1 = kSpdifCategoryMask | kSpdifLevel;
static_assert(kSpdifStatusByte1 >> kSpdifStatusByte1Shift == 0xFF);

constexpr std::uint16_t SpdifRateCode(std::uint16_t control) {
    return static_cast<std::uint16_t>((control & kSpdifSpsrMask) >> kSpdifSpsrShift);
}
constexpr std::uint16_t SpdifRateField(std::uint16_t code) {
    return static_cast<std::uint16_t>(code << kSpdifSpsrShift);
}
static_assert(SpdifRateField(kSpsr48000) == 0x2000);

// Vendor Reserved Registers (Index 5Ah to 7Ah): this one is where the
// machine's firmware leaves a value of its own.
inline constexpr std::uint32_t kVendor6A = 0x6A; // RW

// Vendor ID Registers (Index 7Ch and 7Eh).
inline constexpr std::uint32_t kVendorId1 = 0x7C; // RO
inline constexpr std::uint32_t kVendorId2 = 0x7E; // RO

// The register's name in the register map; nullptr for one not named here.
constexpr const char* RegisterName(std::uint32_t reg) {
    switch (reg) {
    case kReset:
        return "Reset";
    case kMasterVolume:
        return "Master Volume";
    case kHeadphoneVolume:
        return "Headphone Volume";
    case kMonoVolume:
        return "Master Volume Mono";
    case kPhoneVolume:
        return "Phone Volume";
    case kMicVolume:
        return "Mic Volume";
    case kLineInVolume:
        return "Line In Volume";
    case kCdVolume:
        return "CD Volume";
    case kVideoVolume:
        return "Video Volume";
    case kAuxVolume:
        return "Aux Volume";
    case kPcmOutVolume:
        return "PCM Out Volume";
    case kRecordGain:
        return "Record Gain";
    case kPowerdown:
        return "Powerdown Ctrl/Stat";
    case kExtendedId:
        return "Extended Audio ID";
    case kExtendedControl:
        return "Extended Audio Stat/Ctrl";
    case kFrontDacRate:
        return "PCM Front DAC Rate";
    case kSurroundDacRate:
        return "PCM Surround DAC Rate";
    case kLfeDacRate:
        return "PCM LFE DAC Rate";
    case kAdcRate:
        return "PCM L/R ADC Rate";
    case kMicAdcRate:
        return "Mic ADC Rate";
    case kSpdifControl:
        return "S/PDIF Control";
    case kVendorId1:
        return "Vendor ID1";
    case kVendorId2:
        return "Vendor ID2";
    default:
        return nullptr;
    }
}

} // namespace machine::ac97
