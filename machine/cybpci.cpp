// cybpci.library on the machine: one PCI bus holding the VT8231 audio
// function, its configuration space, its I/O window, bus addresses for
// memory from AllocVec, and interrupt servers.
#include "platform/cybpci.h"

#include <algorithm>

#include "machine/byte_order.h"
#include "machine/call.h"
#include "machine/clock.h"
#include "machine/dispatch.h"
#include "machine/io_window.h"
#include "machine/state.h"
#include "machine/trace.h"
#include "machine/vt8231_registers.h"

namespace {

namespace vt8231 = machine::vt8231;

bool CheckBase(machine::Machine& m, Library* base, const char* call) {
    if (base != &m.pciLibrary || m.pciLibrary.openCount == 0) {
        machine::Violation(m,
                           std::string(call) + " with a base that is not the open cybpci.library");
        return false;
    }
    return true;
}

bool CheckDevice(machine::Machine& m, PciDevice* device, const char* call) {
    if (device != &m.device || !m.devicePresent) {
        machine::Violation(m,
                           std::string(call) + " with a device that FindPciDevice did not return");
        return false;
    }
    return true;
}

} // namespace

namespace machine {

void ResetPciDevice(PciDevice& device) {
    std::uint8_t* config = device.config;
    std::fill(config, config + vt8231::kCfgSize, std::uint8_t{0});
    // The function's configuration space as the datasheet gives its reset
    // values, and the firmware's base address; the interrupt is not routed.
    PutLe16(&config[vt8231::kCfgVendorId], vt8231::kVendorVia);
    PutLe16(&config[vt8231::kCfgDeviceId], vt8231::kDeviceAudio);
    PutLe16(&config[vt8231::kCfgStatus], vt8231::kStatusReset);
    config[vt8231::kCfgRevision] = vt8231::kRevision;
    PutLittleEndian(&config[vt8231::kCfgClassCode], vt8231::kClassAudio, 3);
    PutLe32(&config[vt8231::kCfgBase0], kIoWindowBase | vt8231::kBase0IoSpace);
    config[vt8231::kCfgInterruptLine] = vt8231::kInterruptLineUnrouted;
    config[vt8231::kCfgInterruptPin] = vt8231::kInterruptPinIntC;
}

} // namespace machine

PciDevice* FindPciDevice(Library* base, PciDevice* start, const TagItem* tags) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    machine::CheckTaskContext(m, "FindPciDevice");
    PciDevice* const result = [&]() -> PciDevice* {
        if (!CheckBase(m, base, "FindPciDevice") || !m.devicePresent || start != nullptr) {
            return nullptr;
        }
        for (const TagItem* tag = tags; tag != nullptr && tag->ti_Tag != TAG_DONE; ++tag) {
            if (tag->ti_Tag == PCIFIND_VENDOR && tag->ti_Data != vt8231::kVendorVia) {
                return nullptr;
            }
            if (tag->ti_Tag == PCIFIND_DEVICE && tag->ti_Data != vt8231::kDeviceAudio) {
                return nullptr;
            }
        }
        return &m.device;
    }();
    machine::Trace(m, "find_pci_device", {{"ok", result != nullptr}});
    return result;
}

std::uint32_t WritePciConfigLong(Library* base, PciDevice* device, std::uint32_t offset,
                                 std::uint32_t value) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    machine::CheckTaskContext(m, "WritePciConfigLong");
    machine::Trace(m, "pci_config_write", {{"offset", offset}, {"width", 32}, {"value", value}});
    if (!CheckBase(m, base, "WritePciConfigLong") ||
        !CheckDevice(m, device, "WritePciConfigLong")) {
        return 0;
    }
    if (offset >= vt8231::kCfgSize) {
        machine::Violation(m, "WritePciConfigLong outside the configuration space");
        return 0;
    }
    if ((offset & 3) != 0) {
        machine::Violation(m, "WritePciConfigLong at an offset that is not a dword");
        return 0;
    }
    std::uint8_t* config = device->config;
    switch (offset) {
    case vt8231::kCfgVendorId: // and the device ID
    case vt8231::kCfgRevision: // and the class code
        break;
    case vt8231::kCfgCommand: {
        machine::PutLe16(&config[vt8231::kCfgCommand], static_cast<std::uint16_t>(value));
        // Status bits are cleared by writing 1, as PCI defines.
        const auto clear = static_cast<std::uint16_t>((value >> 16) & vt8231::kStatusErrorBits);
        machine::PutLe16(
            &config[vt8231::kCfgStatus],
            static_cast<std::uint16_t>(machine::Le16(&config[vt8231::kCfgStatus]) & ~clear));
        break;
    }
    case vt8231::kCfgBase0:
        break; // the window stays where the firmware put it
    default:
        machine::PutLe32(&config[offset], value);
        break;
    }
    return 0;
}

std::uint32_t WritePciConfigByte(Library* base, PciDevice* device, std::uint32_t offset,
                                 std::uint8_t value) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    machine::CheckTaskContext(m, "WritePciConfigByte");
    machine::Trace(m, "pci_config_write", {{"offset", offset}, {"width", 8}, {"value", value}});
    if (!CheckBase(m, base, "WritePciConfigByte") ||
        !CheckDevice(m, device, "WritePciConfigByte")) {
        return 0;
    }
    if (offset >= vt8231::kCfgSize) {
        machine::Violation(m, "WritePciConfigByte outside the configuration space");
        return 0;
    }
    if (offset < vt8231::kClassCodeEnd ||
        (offset >= vt8231::kCfgBase0 && offset < vt8231::kCfgBase0 + 4) ||
        offset == vt8231::kCfgInterruptPin) {
        return 0; // read-only here: IDs, command and status go through the dword
    }
    device->config[offset] = value;
    return 0;
}

std::uint32_t GetPciDeviceAttr(Library* base, PciDevice* device, std::uint32_t attribute) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    machine::CheckTaskContext(m, "GetPciDeviceAttr");
    const std::uint32_t result = [&]() -> std::uint32_t {
        if (!CheckBase(m, base, "GetPciDeviceAttr") ||
            !CheckDevice(m, device, "GetPciDeviceAttr")) {
            return 0;
        }
        if (attribute != PCIATTR_BASE0 || HasFault(m, machine::Fault::IoWindow)) {
            return 0;
        }
        return machine::Le32(&device->config[vt8231::kCfgBase0]);
    }();
    machine::Trace(m, "get_pci_device_attr", {{"attribute", attribute}, {"value", result}});
    return result;
}

void* AddPciIntServer(Library* base, PciDevice* device, PciIntServerFunc server, void* data,
                      const TagItem* tags) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    machine::CheckTaskContext(m, "AddPciIntServer");
    (void)tags; // priority and sharing: this bus has one interrupt line
    void* handle = nullptr;
    if (CheckBase(m, base, "AddPciIntServer") && CheckDevice(m, device, "AddPciIntServer") &&
        server != nullptr && !HasFault(m, machine::Fault::IntServer)) {
        m.servers.push_back(
            std::make_unique<machine::IntServerEntry>(machine::IntServerEntry{server, data}));
        handle = m.servers.back().get();
    }
    machine::Trace(m, "int_server_add", {{"ok", handle != nullptr}});
    return handle;
}

std::uint32_t RemPciIntServer(Library* base, void* handle) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    std::unique_lock<std::mutex>& lock = call.lock;
    machine::CheckTaskContext(m, "RemPciIntServer");
    machine::Trace(m, "int_server_remove");
    if (!CheckBase(m, base, "RemPciIntServer") || handle == nullptr) {
        return 0;
    }
    auto it = std::find_if(m.servers.begin(), m.servers.end(),
                           [handle](const auto& entry) { return entry.get() == handle; });
    if (it == m.servers.end()) {
        machine::Violation(m, "RemPciIntServer of a handle AddPciIntServer did not return");
        return 0;
    }
    if (m.channel.active) {
        machine::Violation(m, "interrupt server removed while the channel is active");
    }
    // As with the target's RemIntServer, a server that is running finishes
    // before the call returns.
    if (!machine::InInterrupt()) {
        m.taskWake.wait(lock, [&m] { return !m.dispatching; });
        call.Again();
    }
    it = std::find_if(m.servers.begin(), m.servers.end(),
                      [handle](const auto& entry) { return entry.get() == handle; });
    if (it != m.servers.end()) {
        m.servers.erase(it);
    }
    return 0;
}

std::uint32_t GetPciBusAddress(Library* base, PciDevice* device, void* cpuAddress) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    machine::CheckTaskContext(m, "GetPciBusAddress");
    const std::uint32_t result = [&]() -> std::uint32_t {
        if (!CheckBase(m, base, "GetPciBusAddress") ||
            !CheckDevice(m, device, "GetPciBusAddress")) {
            return 0;
        }
        // Only memory from AllocVec is reachable by the device; anything else
        // has no bus address.
        return machine::CpuToBus(m.memory, reinterpret_cast<std::uintptr_t>(cpuAddress));
    }();
    machine::Trace(m, "get_pci_bus_address", {{"bus", result}});
    return result;
}
