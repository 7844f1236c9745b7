// exec.library: the calls the player makes, with the platform's names and
// argument order. On the target these are the system's own entry points; on a
// host the emulated machine provides them.
#pragma once

#include <cstdint>

struct Library;
struct Task;

// A tag list is a run of (tag, value) pairs ended by TAG_DONE.
struct TagItem {
    std::uint32_t ti_Tag;
    std::uint32_t ti_Data;
};
inline constexpr std::uint32_t TAG_DONE = 0;

inline constexpr std::uint32_t MEMF_ANY = 0x00000;
inline constexpr std::uint32_t MEMF_CLEAR = 0x10000;

// Signals 0 to 15 belong to the system: a task allocates its own from 16 up.
inline constexpr std::uint32_t SYS_SIGALLOC = 0x0000FFFF;
inline constexpr std::uint32_t SIGBREAKB_CTRL_C = 12;
inline constexpr std::uint32_t SIGBREAKF_CTRL_C = 1u << SIGBREAKB_CTRL_C;

Library* OpenLibrary(const char* libName, std::uint32_t version);
void CloseLibrary(Library* library);

void* AllocVec(std::uint32_t byteSize, std::uint32_t attributes);
void FreeVec(void* memoryBlock);

// Returns the signal number, or -1 when none is free. Pass -1 for any signal.
std::int8_t AllocSignal(std::int32_t signalNum);
void FreeSignal(std::int32_t signalNum);

// A null name finds the calling task.
Task* FindTask(const char* name);

// Sets the signals selected by signalSet to newSignals; returns the old signals.
std::uint32_t SetSignal(std::uint32_t newSignals, std::uint32_t signalSet);
// Sleeps until one of signalSet arrives; returns and clears those that did.
std::uint32_t Wait(std::uint32_t signalSet);
// The one exec call that interrupt code may make.
void Signal(Task* task, std::uint32_t signalSet);
