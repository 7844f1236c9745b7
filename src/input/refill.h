// Buffer refill: the next piece of the file into one transfer buffer, in the
// byte order the controller plays.
#pragma once

#include <cstdint>

#include "input/input_format.h"
#include "platform/dos.h"

// Reads the next piece into buffer index (0 or 1), sets its fill length and
// converts its byte order. Returns the count the read returned.
std::int32_t FillTransferBuffer(BPTR file, const InputFormat& format, std::uint32_t index);

// Exchanges the two bytes of each 16-bit word; an odd last byte stays.
void SwapBytes16(void* start, std::uint32_t length);
