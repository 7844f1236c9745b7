// VIA VT8231 south bridge, AC'97 audio function (PCI 1106:3058): the
// playback channel of the scatter-gather DMA engine (SGD), which sits at
// offset 0 of the function's I/O window.
#pragma once

#include <cstdint>

namespace vt8231 {

inline constexpr std::uint16_t kVendorId = 0x1106;
inline constexpr std::uint16_t kDeviceId = 0x3058;

// PCI configuration space.
inline constexpr std::uint32_t kPciCommand = 0x04;       // 16 bits; status above it
inline constexpr std::uint32_t kPciInterruptLine = 0x3C; // 8 bits
inline constexpr std::uint16_t kCommandIoSpace = 0x0001;
inline constexpr std::uint16_t kCommandBusMaster = 0x0004;
inline constexpr std::uint32_t kIoBaseMask = 0xFFFFFFF0; // low bits of BAR0 are flags
inline constexpr std::uint32_t kIoSpaceIndicator = 0x00000001;

// Playback channel registers, offsets from the window base.
inline constexpr std::uint32_t kRegStatus = 0x00;   // 8 bits
inline constexpr std::uint8_t kStatusFlag = 0x01;   //   RWC: a FLAG block ended
inline constexpr std::uint8_t kStatusEol = 0x02;    //   RWC: the EOL block ended
inline constexpr std::uint8_t kStatusActive = 0x80; //   RO: channel running
inline constexpr std::uint8_t kStatusAck = kStatusFlag | kStatusEol;

inline constexpr std::uint32_t kRegControl = 0x01;      // 8 bits
inline constexpr std::uint8_t kControlStart = 0x80;     //   WO: start at the first descriptor
inline constexpr std::uint8_t kControlTerminate = 0x40; //   WO: stop

inline constexpr std::uint32_t kRegType = 0x02;      // 8 bits
inline constexpr std::uint8_t kTypeAutoStart = 0x80; //   RW: loop after the EOL block
inline constexpr std::uint8_t kType16Bit = 0x20;     //   RW
inline constexpr std::uint8_t kTypeStereo = 0x10;    //   RW
inline constexpr std::uint8_t kTypeIntEol = 0x02;    //   RW: interrupt on EOL
inline constexpr std::uint8_t kTypeIntFlag = 0x01;   //   RW: interrupt on FLAG

inline constexpr std::uint32_t kRegTablePointer = 0x04; // 32 bits, little-endian

inline constexpr std::uint32_t kWindowSize = 0x100;

// The player's type: loop, 16-bit stereo, interrupt on FLAG and on EOL.
inline constexpr std::uint8_t kTypePlayback =
    kTypeAutoStart | kType16Bit | kTypeStereo | kTypeIntEol | kTypeIntFlag;
static_assert(kTypePlayback == 0xB3);

// One clear of offsets 0x00 to 0x03 in a single 32-bit store.
inline constexpr std::uint32_t kClearAll = 0xFFFFFFFF;

// Descriptor: 32-bit bus address, then flags and length, both little-endian.
inline constexpr std::uint32_t kDescriptorSize = 8;
inline constexpr std::uint32_t kDescEol = 0x80000000;
inline constexpr std::uint32_t kDescFlag = 0x40000000;
inline constexpr std::uint32_t kDescLengthMask = 0x00FFFFFF;

constexpr std::uint32_t DescriptorLength(std::uint32_t word) {
    return word & kDescLengthMask;
}

} // namespace vt8231
