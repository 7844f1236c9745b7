// cybpci.library: PCI device lookup, configuration space, the register
// window, bus addresses and interrupt servers. Every call takes the library
// base it was opened as, as the target's call stubs do.
#pragma once

#include <cstdint>

#include "platform/exec.h"

struct PciDevice;

// An interrupt server takes no arguments and returns 0.
using PciIntServerFunc = std::uint32_t (*)();

// FindPciDevice tags.
inline constexpr std::uint32_t PCIFIND_VENDOR = 0x80100105;
inline constexpr std::uint32_t PCIFIND_DEVICE = 0x80100106;
// GetPciDeviceAttr: first base-address region, I/O-space indicator in bit 0.
inline constexpr std::uint32_t PCIATTR_BASE0 = 0x80100014;
// AddPciIntServer tags; the library gives them their meaning.
inline constexpr std::uint32_t PCIINT_PRIORITY = 0x80100201;
inline constexpr std::uint32_t PCIINT_SHARED = 0x80100202;

// Jump-table offsets, for reference by a port to the target's stubs.
inline constexpr int LVO_AddPciIntServer = -54;
inline constexpr int LVO_RemPciIntServer = -60;
inline constexpr int LVO_FindPciDevice = -84;
inline constexpr int LVO_GetPciDeviceAttr = -90;
inline constexpr int LVO_WritePciConfigByte = -120;
inline constexpr int LVO_WritePciConfigLong = -132;
inline constexpr int LVO_GetPciBusAddress = -204;

PciDevice* FindPciDevice(Library* base, PciDevice* start, const TagItem* tags);
std::uint32_t WritePciConfigLong(Library* base, PciDevice* device, std::uint32_t offset,
                                 std::uint32_t value);
std::uint32_t WritePciConfigByte(Library* base, PciDevice* device, std::uint32_t offset,
                                 std::uint8_t value);
std::uint32_t GetPciDeviceAttr(Library* base, PciDevice* device, std::uint32_t attribute);
// Returns a handle for RemPciIntServer, or null.
void* AddPciIntServer(Library* base, PciDevice* device, PciIntServerFunc server, void* data,
                      const TagItem* tags);
// Does nothing when given null.
std::uint32_t RemPciIntServer(Library* base, void* handle);
// The address at which the device reaches this CPU memory as a bus master.
std::uint32_t GetPciBusAddress(Library* base, PciDevice* device, void* cpuAddress);
