// Stream headers: AC-3 sync information and the IFF 80-bit extended rate.
#pragma once

#include <cstdint>

#include "input/input_format.h"

inline constexpr std::uint16_t kAc3SyncWord = 0x0B77;
inline constexpr std::uint32_t kAc3SyncInfoSize = 5;

// Parses the first five bytes of an AC-3 frame, and says whether the player
// passes the stream through and, if not, why.
Ac3HeaderInfo ParseAc3SyncInfo(const std::uint8_t* header);

// The bitrate in kbit/s that an AC-3 frame size code stands for at any
// sample rate; 0 for a code that names none.
std::int32_t Ac3BitRate(std::uint32_t frameSizeCode);

// What the player prints when it refuses a stream: a Printf format that may
// take the frame size code as a LONG; empty for a stream it passes through.
const char* Ac3RefusalFormat(Ac3Refusal refusal);

// Converts 10 bytes of big-endian 80-bit extended precision to a double by
// selecting bits: exponents outside the double's range are not rebiased and
// the mantissa is truncated. source needs no alignment.
void ExtendedToDouble(const void* source, double* result);

// The integer rate of a double, truncated toward zero. NaN gives 0; values at
// or beyond the signed 32-bit limits saturate.
std::int32_t RateFromDouble(double value);
