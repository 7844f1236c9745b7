// The register functions of platform/io.h on the machine: every access goes
// to the emulated VT8231 with its width, and is traced.
#include "platform/io.h"

#include <cstdio>
#include <optional>

#include "machine/byte_order.h"
#include "machine/call.h"
#include "machine/clock.h"
#include "machine/io_window.h"
#include "machine/state.h"
#include "machine/trace.h"
#include "machine/vt8231_registers.h"

namespace {

namespace vt8231 = machine::vt8231;

enum class Access { Read8, Write8, Write32 };

const char* AccessName(Access access) {
    switch (access) {
    case Access::Read8:
        return "8-bit read";
    case Access::Write8:
        return "8-bit write";
    case Access::Write32:
        return "32-bit write";
    }
    return "";
}

// The channel's registers and the accesses each one has.
bool RegisterHas(std::uint32_t offset, Access access) {
    switch (offset) {
    case vt8231::kSgdStatus:
        return true; // byte register; a dword store covers 0x00 to 0x03
    case vt8231::kSgdControl:
    case vt8231::kSgdType:
        return access != Access::Write32;
    case vt8231::kSgdTablePointer:
        return access == Access::Write32;
    default:
        return false; // 0x03 and 0x05 to 0x07 only as part of a dword
    }
}

// Checks an access; returns the offset into the window when the device may
// act on it.
std::optional<std::uint32_t> Decode(machine::Machine& m, std::uintptr_t address, Access access) {
    char text[120];
    const std::uint64_t delta = std::uint64_t{address} - machine::kIoWindowBase;
    if (!m.devicePresent || address < machine::kIoWindowBase || delta >= vt8231::kBase0WindowSize) {
        std::snprintf(text, sizeof text, "%s at 0x%llx, outside the I/O window", AccessName(access),
                      static_cast<unsigned long long>(address));
        machine::Violation(m, text);
        return std::nullopt;
    }
    const auto offset = static_cast<std::uint32_t>(delta);
    const std::uint16_t command = machine::Le16(&m.device.config[vt8231::kCfgCommand]);
    if ((command & vt8231::kCommandIoSpace) == 0) {
        std::snprintf(text, sizeof text, "%s at window offset 0x%02x with PCI I/O decoding off",
                      AccessName(access), static_cast<unsigned>(offset));
        machine::Violation(m, text);
        return std::nullopt;
    }
    if (!RegisterHas(offset, access)) {
        std::snprintf(text, sizeof text, "%s at window offset 0x%02x, which has no such access",
                      AccessName(access), static_cast<unsigned>(offset));
        machine::Violation(m, text);
        return std::nullopt;
    }
    return offset;
}

std::int64_t TraceOffset(std::uintptr_t address) {
    return static_cast<std::int64_t>(std::uint64_t{address}) - machine::kIoWindowBase;
}

} // namespace

std::uint8_t ReadRegister8(std::uintptr_t address) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    // An access no device claims reads all ones, as on PCI.
    std::uint8_t value = 0xFF;
    if (const auto offset = Decode(m, address, Access::Read8)) {
        value = machine::ChannelRead8(m, *offset);
    }
    machine::Trace(m, "io_read",
                   {{"offset", TraceOffset(address)}, {"width", 8}, {"value", value}});
    return value;
}

void WriteRegister8(std::uintptr_t address, std::uint8_t value) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    machine::Trace(m, "io_write",
                   {{"offset", TraceOffset(address)}, {"width", 8}, {"value", value}});
    if (const auto offset = Decode(m, address, Access::Write8)) {
        machine::ChannelWrite8(m, *offset, value);
    }
}

void WriteRegister32(std::uintptr_t address, std::uint32_t value) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    machine::Trace(m, "io_write",
                   {{"offset", TraceOffset(address)}, {"width", 32}, {"value", value}});
    if (const auto offset = Decode(m, address, Access::Write32)) {
        machine::ChannelWrite32(m, *offset, value);
    }
}

void MemoryBarrier() {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    machine::Trace(m, "barrier");
}
