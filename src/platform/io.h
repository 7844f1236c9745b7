// Device register access. The player reaches the controller's registers only
// through these: one access of the stated width each, in program order.
//
// On the target (KESTREL_TARGET_MMIO) they are single volatile accesses and
// the processor's barrier instruction. Elsewhere the emulated machine
// implements them and sees every access with its width.
#pragma once

#include <cstdint>

#if defined(KESTREL_TARGET_MMIO)

inline std::uint8_t ReadRegister8(std::uintptr_t address) {
    return *reinterpret_cast<volatile std::uint8_t*>(address);
}

inline void WriteRegister8(std::uintptr_t address, std::uint8_t value) {
    *reinterpret_cast<volatile std::uint8_t*>(address) = value;
}

// The controller is little-endian: store the value byte-reversed, in one access.
inline void WriteRegister32(std::uintptr_t address, std::uint32_t value) {
#if defined(__powerpc__)
    __asm__ volatile("stwbrx %0,0,%1" : : "r"(value), "r"(address) : "memory");
#else
    std::uint32_t device = value;
    if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) {
        device = __builtin_bswap32(value);
    }
    *reinterpret_cast<volatile std::uint32_t*>(address) = device;
#endif
}

// Orders every earlier load and store, I/O included, before every later one.
inline void MemoryBarrier() {
#if defined(__powerpc__)
    __asm__ volatile("sync" : : : "memory");
#else
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
#endif
}

#else

std::uint8_t ReadRegister8(std::uintptr_t address);
void WriteRegister8(std::uintptr_t address, std::uint8_t value);
// value is the register's value as the device sees it.
void WriteRegister32(std::uintptr_t address, std::uint32_t value);
void MemoryBarrier();

#endif
