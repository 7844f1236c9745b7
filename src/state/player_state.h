// The one global record shared by the main task and the interrupt server.
#pragma once

#include <atomic>
#include <cstdint>

#include "input/input_format.h"
#include "platform/cybpci.h"
#include "platform/exec.h"

struct PlayerState {
    Library* pciLibrary;
    PciDevice* pciDevice;
    std::uint32_t controllerBase; // CPU address of the channel's register window
    std::uintptr_t bufferAddress[2];
    std::int32_t fillLength[2];
    std::int32_t lastReadCount;
    bool readFailed; // a Read returned an error; the data ended there, and nothing more is read
    // Header bytes that a file which cannot be rewound (a pipe) gave up to
    // detection: the first refill plays them before what follows.
    std::uint8_t heldBytes[kHeaderReadSize];
    std::uint32_t heldCount;
    std::int32_t signalBit;
    // Published after signalBit: the server acts on neither until it sees this.
    std::atomic<Task*> playerTask;
    // Written by the server only, read by the streaming loop after each wake-up.
    std::atomic<std::uint32_t> activeIndex;
};

static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
static_assert(std::atomic<Task*>::is_always_lock_free);

extern PlayerState gPlayerState;

// Puts every field that has a start value back to it. The register window,
// the buffer addresses, the fill lengths and the last read count have none:
// each is set before it is first read.
void ResetPlayerState();
