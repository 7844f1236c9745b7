// dos.library: files, the tick delay and formatted output.
#pragma once

#include <cstdint>

// A file handle; 0 is no file.
using BPTR = std::intptr_t;

inline constexpr std::int32_t MODE_OLDFILE = 1005;

inline constexpr std::int32_t OFFSET_BEGINNING = -1;
inline constexpr std::int32_t OFFSET_CURRENT = 0;
inline constexpr std::int32_t OFFSET_END = 1;

inline constexpr std::int32_t TICKS_PER_SECOND = 50;

BPTR Open(const char* name, std::int32_t accessMode);
std::int32_t Close(BPTR file);
// Returns the number of bytes read, 0 at the end of the file, -1 on error.
std::int32_t Read(BPTR file, void* buffer, std::int32_t length);
// Returns the old position, or -1 on error.
std::int32_t Seek(BPTR file, std::int32_t position, std::int32_t mode);
void Delay(std::int32_t ticks);

// %ld formats a 32-bit LONG on every build: pass long, the value must fit.
std::int32_t Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Return codes of a shell command.
inline constexpr std::int32_t RETURN_OK = 0;
inline constexpr std::int32_t RETURN_WARN = 5;
inline constexpr std::int32_t RETURN_ERROR = 10;
inline constexpr std::int32_t RETURN_FAIL = 20;
