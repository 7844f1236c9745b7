// The formatter behind dos Printf, for what the player prints: text, %s, %%
// and %ld, which takes a long argument and prints it as the target's 32-bit
// LONG. Any other conversion is printed as written.
#pragma once

#include <cstdarg>
#include <string>

namespace machine {

std::string FormatPrintf(const char* format, std::va_list args);

} // namespace machine
