// VIA VT8231 south bridge, PCI function 5: the AC'97 audio controller, as
// the machine models it. Written from the VT8231 datasheet's function 5
// registers, and the VT82C686B datasheet's, whose audio function is the same
// and which words it more fully: the PCI configuration space header, and the
// playback channel of the audio scatter-gather DMA engine (SGD) at the start
// of I/O base 0. The datasheets call that channel the "SGD Read Channel": it
// reads memory. The player has register definitions of its own; these are
// the machine's, so that a misreading is not in both.
//
// Trailing comments give width and access: RO read-only, WO write-only, RW,
// RWC read, and write 1 to clear.
#pragma once

#include <cstdint>

namespace machine::vt8231 {

// --- PCI configuration space header ---------------------------------------

inline constexpr std::uint32_t kCfgSize = 0x100;

inline constexpr std::uint32_t kCfgVendorId = 0x00; // 16 bits RO
inline constexpr std::uint16_t kVendorVia = 0x1106;
inline constexpr std::uint32_t kCfgDeviceId = 0x02; // 16 bits RO
inline constexpr std::uint16_t kDeviceAudio = 0x3058;

// Offset 5-4, Command.
inline constexpr std::uint32_t kCfgCommand = 0x04;         // 16 bits RW
inline constexpr std::uint16_t kCommandIoSpace = 0x0001;   //   I/O space access
inline constexpr std::uint16_t kCommandBusMaster = 0x0004; //   bus master

// Offset 7-6, Status: medium DEVSEL timing (bits 10:9 = 01) and a
// capability list at reset; the error bits are written 1 to clear.
inline constexpr std::uint32_t kCfgStatus = 0x06;         // 16 bits RO, RWC
inline constexpr std::uint16_t kStatusReset = 0x0210;     //   RO
inline constexpr std::uint16_t kStatusErrorBits = 0xF900; //   RWC: bits 15:11 and 8

// Offset 8, Revision ID; offsets 9 to B, the class code.
inline constexpr std::uint32_t kCfgRevision = 0x08; // 8 bits RO
inline constexpr std::uint8_t kRevision = 0x50;
inline constexpr std::uint32_t kCfgClassCode = 0x09; // 24 bits RO: multimedia audio
inline constexpr std::uint32_t kClassAudio = 0x040100;
inline constexpr std::uint32_t kClassCodeEnd = kCfgClassCode + 3;
static_assert(kClassCodeEnd == 0x0C);

// Offset 13-10, Base Address 0: the I/O window of the SGD registers.
inline constexpr std::uint32_t kCfgBase0 = 0x10;           // 32 bits RW
inline constexpr std::uint32_t kBase0IoSpace = 0x00000001; //   RO: an I/O space base
inline constexpr std::uint32_t kBase0WindowSize = 0x100;   //   the bytes it decodes
inline constexpr std::uint32_t kBase0AddressMask = ~(kBase0WindowSize - 1);
static_assert(kBase0AddressMask == 0xFFFFFF00);

// Offset 3C, Interrupt Line; offset 3D, Interrupt Pin.
inline constexpr std::uint32_t kCfgInterruptLine = 0x3C; // 8 bits RW
inline constexpr std::uint8_t kInterruptLineUnrouted = 0xFF;
inline constexpr std::uint32_t kCfgInterruptPin = 0x3D; // 8 bits RO
inline constexpr std::uint8_t kInterruptPinIntC = 0x03;

// --- SGD playback channel: I/O base 0, offsets 0 to 7 ------------------------

// I/O offset 0, Audio SGD Read Channel Status.
inline constexpr std::uint32_t kSgdStatus = 0x00;      // 8 bits
inline constexpr std::uint8_t kSgdStatusFlag = 0x01;   //   RWC: a FLAG block ended
inline constexpr std::uint8_t kSgdStatusEol = 0x02;    //   RWC: the EOL block ended
inline constexpr std::uint8_t kSgdStatusActive = 0x80; //   RO: the channel runs
inline constexpr std::uint8_t kSgdStatusBlockEnds = kSgdStatusFlag | kSgdStatusEol;
static_assert(kSgdStatusBlockEnds == 0x03);

// I/O offset 1, Audio SGD Read Channel Control: triggers, read as 0.
inline constexpr std::uint32_t kSgdControl = 0x01;         // 8 bits
inline constexpr std::uint8_t kSgdControlTerminate = 0x40; //   WO: stop
inline constexpr std::uint8_t kSgdControlStart = 0x80;     //   WO: start at the table's head

// I/O offset 2, Audio SGD Read Channel Type.
inline constexpr std::uint32_t kSgdType = 0x02;         // 8 bits RW
inline constexpr std::uint8_t kSgdTypeIntFlag = 0x01;   //   interrupt when a FLAG block ends
inline constexpr std::uint8_t kSgdTypeIntEol = 0x02;    //   interrupt when the EOL block ends
inline constexpr std::uint8_t kSgdTypeStereo = 0x10;    //   stereo frames
inline constexpr std::uint8_t kSgdType16Bit = 0x20;     //   16-bit samples
inline constexpr std::uint8_t kSgdTypeAutoStart = 0x80; //   after EOL, start again at the head
inline constexpr std::uint8_t kSgdTypeInterrupts = kSgdTypeIntFlag | kSgdTypeIntEol;
static_assert(kSgdTypeInterrupts == 0x03);

// I/O offset 3 is reserved: a dword store at offset 0 writes status,
// control, type and it, from the least significant byte.
inline constexpr int kSgdDwordControlShift = 8;
inline constexpr int kSgdDwordTypeShift = 16;

// I/O offset 7-4, Audio SGD Read Channel Table Pointer: the table's bus address.
inline constexpr std::uint32_t kSgdTablePointer = 0x04; // 32 bits RW; written whole

// --- SGD table format -------------------------------------------------------

// Each entry: the block's 32-bit bus address, then its flags and its length
// in bytes; both words little-endian.
inline constexpr std::uint32_t kSgdEntrySize = 8;
inline constexpr std::uint32_t kSgdEntryAddress = 0;
inline constexpr std::uint32_t kSgdEntryControl = 4;
inline constexpr std::uint32_t kSgdEntryEol = 0x80000000;  // the table's last block
inline constexpr std::uint32_t kSgdEntryFlag = 0x40000000; // status FLAG at its end
inline constexpr std::uint32_t kSgdEntryCountMask = 0x00FFFFFF;
inline constexpr int kSgdEntryCountShift = 0;

constexpr std::uint32_t SgdEntryCount(std::uint32_t control) {
    return (control & kSgdEntryCountMask) >> kSgdEntryCountShift;
}
static_assert(SgdEntryCount(0x40001800) == 0x1800);

} // namespace machine::vt8231
