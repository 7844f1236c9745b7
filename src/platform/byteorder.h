// Byte-order helpers. Every value the controller reads is stored through
// these, so the bytes in memory are the same on any processor.
#pragma once

#include <cstdint>

inline void StoreLE16(void* address, std::uint16_t value) {
    auto* p = static_cast<std::uint8_t*>(address);
    p[0] = static_cast<std::uint8_t>(value);
    p[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void StoreLE32(void* address, std::uint32_t value) {
    auto* p = static_cast<std::uint8_t*>(address);
    p[0] = static_cast<std::uint8_t>(value);
    p[1] = static_cast<std::uint8_t>(value >> 8);
    p[2] = static_cast<std::uint8_t>(value >> 16);
    p[3] = static_cast<std::uint8_t>(value >> 24);
}

inline std::uint16_t LoadLE16(const void* address) {
    const auto* p = static_cast<const std::uint8_t*>(address);
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t LoadLE32(const void* address) {
    const auto* p = static_cast<const std::uint8_t*>(address);
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

inline std::uint16_t LoadBE16(const void* address) {
    const auto* p = static_cast<const std::uint8_t*>(address);
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline std::uint32_t LoadBE32(const void* address) {
    const auto* p = static_cast<const std::uint8_t*>(address);
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}
