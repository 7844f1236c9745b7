// The formatter behind dos Printf. It formats as the target does: %ld, %lu
// and %lx take a long argument and print it as a 32-bit LONG.
#pragma once

#include <cstdarg>
#include <string>

namespace machine {

std::string FormatPrintf(const char* format, std::va_list args);

} // namespace machine
