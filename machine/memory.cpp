#include "machine/memory.h"

#include <cstring>

namespace machine {

namespace {

// Uncleared memory holds this, so reliance on it shows in what gets played.
constexpr std::uint8_t kJunk[4] = {0xDE, 0xAD, 0xBE, 0xEF};

// Blocks come back 8 bytes past a 16-byte boundary, like the target's
// AllocVec, so a caller that must round to 16 has to do so.
constexpr std::uintptr_t kReturnedOffset = 8;
constexpr std::uint32_t kBusPage = 0x1000;
// Unmapped space between blocks, so running off the end of one is caught.
constexpr std::uint32_t kBusGap = 0x10000;

bool Overlap64(std::uint64_t a, std::uint64_t n, std::uint64_t b, std::uint64_t m) {
    return a < b + m && b < a + n;
}

// A bus range must never coincide with the CPU address of any block (on a
// 32-bit host they share one number space), or a CPU address stored as a bus
// address would reach memory.
bool BusRangeClashes(const Memory& memory, std::uint64_t bus, std::uint64_t size,
                     std::uintptr_t cpu) {
    if (Overlap64(bus, size, cpu, size)) {
        return true;
    }
    for (const auto& [address, block] : memory.blocks) {
        if (Overlap64(bus, size, address, block.size) ||
            Overlap64(block.bus, block.size, cpu, size)) {
            return true;
        }
    }
    return false;
}

} // namespace

void* AllocateBlock(Memory& memory, std::uint32_t size, bool clear) {
    MemoryBlock block;
    block.storage = std::make_unique_for_overwrite<std::uint8_t[]>(std::size_t{size} + 24);
    const auto raw = reinterpret_cast<std::uintptr_t>(block.storage.get());
    block.cpu = ((raw + 15) & ~std::uintptr_t{15}) + kReturnedOffset;
    block.size = size;
    auto* bytes = reinterpret_cast<std::uint8_t*>(block.cpu);
    if (clear) {
        std::memset(bytes, 0, size);
    } else {
        for (std::uint32_t i = 0; i < size; ++i) {
            bytes[i] = kJunk[i % 4];
        }
    }
    const std::uint64_t span =
        (std::uint64_t{size} + kReturnedOffset + kBusPage - 1) / kBusPage * kBusPage;
    std::uint64_t bus = memory.nextBus;
    while (BusRangeClashes(memory, bus + kReturnedOffset, size, block.cpu)) {
        bus += span + kBusGap;
    }
    if (bus + span > 0xFFFF0000u) {
        return nullptr;
    }
    block.bus = static_cast<std::uint32_t>(bus + kReturnedOffset);
    memory.nextBus = static_cast<std::uint32_t>(bus + span + kBusGap);
    const std::uintptr_t cpu = block.cpu;
    memory.blocks.emplace(cpu, std::move(block));
    return bytes;
}

bool FreeBlock(Memory& memory, void* p) {
    return memory.blocks.erase(reinterpret_cast<std::uintptr_t>(p)) == 1;
}

const MemoryBlock* BlockAtCpu(const Memory& memory, std::uintptr_t address) {
    auto it = memory.blocks.upper_bound(address);
    if (it == memory.blocks.begin()) {
        return nullptr;
    }
    --it;
    if (address - it->second.cpu >= it->second.size) {
        return nullptr;
    }
    return &it->second;
}

std::uint8_t* BusToHost(const Memory& memory, std::uint32_t bus, std::uint32_t length) {
    for (const auto& [cpu, block] : memory.blocks) {
        if (bus >= block.bus &&
            std::uint64_t{bus} + length <= std::uint64_t{block.bus} + block.size) {
            return reinterpret_cast<std::uint8_t*>(cpu) + (bus - block.bus);
        }
    }
    return nullptr;
}

std::uint32_t CpuToBus(const Memory& memory, std::uintptr_t address) {
    const MemoryBlock* block = BlockAtCpu(memory, address);
    if (block == nullptr) {
        return 0;
    }
    return block->bus + static_cast<std::uint32_t>(address - block->cpu);
}

bool BusRangesOverlap(std::uint32_t a, std::uint32_t n, std::uint32_t b, std::uint32_t m) {
    return Overlap64(a, n, b, m);
}

// GCC says it has the thread sanitizer one way, clang the other.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KESTREL_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(KESTREL_THREAD_SANITIZER)
// Volatile, so that the loop stays a loop of loads and never becomes a call to
// memcpy, which the sanitizer watches whatever the attribute says.
__attribute__((no_sanitize("thread"))) void
BusMasterRead(std::uint8_t* to, const std::uint8_t* from, std::size_t size) {
    const volatile std::uint8_t* source = from;
    for (std::size_t i = 0; i < size; ++i) {
        to[i] = source[i];
    }
}
#else
// Without the sanitizer a copy is a copy; the byte loop cost a tenth of the
// machine's CPU time on a real-clock run.
void BusMasterRead(std::uint8_t* to, const std::uint8_t* from, std::size_t size) {
    std::memcpy(to, from, size);
}
#endif

} // namespace machine
