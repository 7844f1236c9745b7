// The kestrel command: plays one audio file through the VT8231's AC'97
// function. Returns the command's return code.
#pragma once

#include <cstdint>

inline constexpr std::int32_t kReturnUsage = 100;

// For the platform's version command: "$VER: name version (date)".
extern const char kVersionTag[];

std::int32_t PlayerMain(std::int32_t argc, char** argv);
