#include "hw/dma.h"

#include "hw/dma_block.h"
#include "hw/vt8231.h"
#include "platform/byteorder.h"
#include "platform/dos.h"
#include "platform/io.h"
#include "state/player_state.h"

namespace {

inline constexpr std::uint32_t kDescBuffer0 = vt8231::kDescFlag | kTransferBufferSize;
inline constexpr std::uint32_t kDescBuffer1 = vt8231::kDescEol | kTransferBufferSize;
static_assert(kDescBuffer0 == 0x40001800);
static_assert(kDescBuffer1 == 0x80001800);

void WriteDescriptor(std::uint8_t* entry, std::uint32_t busAddress, std::uint32_t control) {
    StoreLE32(entry, busAddress);
    StoreLE32(entry + 4, control);
}

} // namespace

std::uintptr_t ChannelRegister(std::uint32_t offset) {
    return std::uintptr_t{gPlayerState.controllerBase} + offset;
}

void BuildDescriptorTable(void* dmaBlock) {
    PlayerState& s = gPlayerState;
    const std::uintptr_t base = (reinterpret_cast<std::uintptr_t>(dmaBlock) + (kDmaAlignment - 1)) &
                                ~std::uintptr_t{kDmaAlignment - 1};
    auto* table = reinterpret_cast<std::uint8_t*>(base);
    auto* buffer0 = table + kBuffer0Offset;
    auto* buffer1 = table + kBuffer1Offset;

    // Translated in this order: buffer 0, buffer 1, then the table itself.
    WriteDescriptor(table, GetPciBusAddress(s.pciLibrary, s.pciDevice, buffer0), kDescBuffer0);
    WriteDescriptor(table + vt8231::kDescriptorSize,
                    GetPciBusAddress(s.pciLibrary, s.pciDevice, buffer1), kDescBuffer1);
    WriteRegister32(ChannelRegister(vt8231::kRegTablePointer),
                    GetPciBusAddress(s.pciLibrary, s.pciDevice, table));

    s.bufferAddress[0] = reinterpret_cast<std::uintptr_t>(buffer0);
    s.bufferAddress[1] = reinterpret_cast<std::uintptr_t>(buffer1);
}

void StartDma() {
    // One 32-bit store over status, control and type clears every pending
    // status bit; type and control get their real values right after.
    WriteRegister32(ChannelRegister(vt8231::kRegStatus), vt8231::kClearAll);
    WriteRegister8(ChannelRegister(vt8231::kRegType), vt8231::kTypePlayback);
    MemoryBarrier();
    WriteRegister8(ChannelRegister(vt8231::kRegControl), vt8231::kControlStart);
    MemoryBarrier();
}

void StopDma() {
    WriteRegister8(ChannelRegister(vt8231::kRegControl), vt8231::kControlTerminate);
    MemoryBarrier();
    WriteRegister8(ChannelRegister(vt8231::kRegType), 0x00);
    MemoryBarrier();
    // Give the channel time to finish the transfer it was in.
    Delay(kStopSettleTicks);
}
