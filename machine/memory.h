// Memory from AllocVec and the 32-bit PCI bus address space through which the
// audio function reaches it as a bus master. Bus addresses are deliberately
// unrelated to CPU addresses, so a CPU address stored where a bus address
// belongs maps to nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

namespace machine {

struct MemoryBlock {
    std::uintptr_t cpu = 0;
    std::uint32_t size = 0;
    std::uint32_t bus = 0;
    std::unique_ptr<std::uint8_t[]> storage;
};

struct Memory {
    std::map<std::uintptr_t, MemoryBlock> blocks; // by CPU address
    std::uint32_t nextBus = 0x00100000;
};

// Returns null when the bus address space is exhausted.
void* AllocateBlock(Memory& memory, std::uint32_t size, bool clear);
// Returns false when p is not an address AllocateBlock returned.
bool FreeBlock(Memory& memory, void* p);
// The block that holds the CPU address, or null.
const MemoryBlock* BlockAtCpu(const Memory& memory, std::uintptr_t address);
// The host bytes behind bus range [bus, bus + length), or null when any part
// of it lies outside one mapped block.
std::uint8_t* BusToHost(const Memory& memory, std::uint32_t bus, std::uint32_t length);
// The bus address of a CPU address inside a block, or 0.
std::uint32_t CpuToBus(const Memory& memory, std::uintptr_t address);
// What a bus master reads: whatever the memory holds at that moment, though
// the processor may be writing it meanwhile (the player refilling the block
// being played: an overrun). Copied a byte at a time outside the thread
// sanitizer's view, as the hardware's fetch lies outside the processor's
// memory model: a torn sample is what the bus would give, not a fault of
// the machine.
void BusMasterRead(std::uint8_t* to, const std::uint8_t* from, std::size_t size);
// Whether the bus ranges [a, a + n) and [b, b + m) share a byte.
bool BusRangesOverlap(std::uint32_t a, std::uint32_t n, std::uint32_t b, std::uint32_t m);

} // namespace machine
