// ac97mixer.library: the AC'97 codec of the audio device, one register at a
// time. Every call takes the library base it was opened as.
#pragma once

#include <cstdint>

#include "platform/exec.h"

struct Mixer;

inline constexpr int LVO_FindMixer = -66;
inline constexpr int LVO_ReadCodecRegister = -72;
inline constexpr int LVO_WriteCodecRegister = -78;

Mixer* FindMixer(Library* base, void* reserved, std::int32_t index, const TagItem* tags);
// The register's 16-bit value in the low half.
std::uint32_t ReadCodecRegister(Library* base, Mixer* mixer, std::uint32_t reg);
// The low 16 bits of value are written; the result means nothing.
std::uint32_t WriteCodecRegister(Library* base, Mixer* mixer, std::uint32_t reg,
                                 std::uint32_t value);
