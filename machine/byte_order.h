// Byte order of what the machine's devices and the host's files hold,
// whatever the host's own: the controller's words and the WAV fields are
// little-endian, the IFF and AC-3 fields big-endian. The player stores what
// the controller reads with helpers of its own; the machine reads it back
// with these.
#pragma once

#include <cstddef>
#include <cstdint>

namespace machine {

// The value of the n bytes at p, least significant first.
inline std::uint32_t LittleEndian(const void* p, std::size_t n) {
    const auto* bytes = static_cast<const std::uint8_t*>(p);
    std::uint32_t value = 0;
    while (n > 0) {
        value = value << 8 | bytes[--n];
    }
    return value;
}

// The value of the n bytes at p, most significant first.
inline std::uint32_t BigEndian(const void* p, std::size_t n) {
    const auto* bytes = static_cast<const std::uint8_t*>(p);
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < n; ++i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

// value's low n bytes at p, least significant first.
inline void PutLittleEndian(void* p, std::uint32_t value, std::size_t n) {
    auto* bytes = static_cast<std::uint8_t*>(p);
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<std::uint8_t>(value >> 8 * i);
    }
}

inline std::uint16_t Le16(const void* p) {
    return static_cast<std::uint16_t>(LittleEndian(p, 2));
}
inline std::uint32_t Le32(const void* p) {
    return LittleEndian(p, 4);
}
inline std::uint16_t Be16(const void* p) {
    return static_cast<std::uint16_t>(BigEndian(p, 2));
}
inline std::uint32_t Be32(const void* p) {
    return BigEndian(p, 4);
}
inline void PutLe16(void* p, std::uint16_t value) {
    PutLittleEndian(p, value, 2);
}
inline void PutLe32(void* p, std::uint32_t value) {
    PutLittleEndian(p, value, 4);
}

} // namespace machine
