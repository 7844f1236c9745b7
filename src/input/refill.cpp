#include "input/refill.h"

#include <algorithm>
#include <cstring>

#include "state/player_state.h"

void SwapBytes16(void* start, std::uint32_t length) {
    auto* p = static_cast<std::uint8_t*>(start);
    for (std::uint32_t i = 0; i + 1 < length; i += 2) {
        const std::uint8_t first = p[i];
        p[i] = p[i + 1];
        p[i + 1] = first;
    }
}

std::int32_t FillTransferBuffer(BPTR file, const InputFormat& format, std::uint32_t index) {
    PlayerState& s = gPlayerState;
    auto* buffer = reinterpret_cast<std::uint8_t*>(s.bufferAddress[index]);
    // The data region: everything after the burst preamble in AC-3 mode, the
    // whole buffer otherwise. Nothing is ever read or swapped beyond it.
    const std::uint32_t offset = std::min(format.payloadOffset, kTransferBufferSize);
    const std::uint32_t region =
        format.playMode == PlayMode::Ac3 ? format.frameLength : kTransferBufferSize;
    const std::uint32_t size = std::min(region, kTransferBufferSize - offset);
    std::uint8_t* destination = buffer + offset;

    const std::uint32_t requested = std::min(format.readSize, size);
    // A failed read ends the data for good, like the end of the file: the
    // buffers play out what they hold and nothing more is read.
    std::int32_t count = 0;
    std::uint32_t valid = 0;
    if (!s.readFailed) {
        // Bytes a pipe gave up to detection come first; every read asks for
        // at least a frame, more than the header ever holds.
        const std::uint32_t held = std::min(s.heldCount, requested);
        std::memcpy(destination, s.heldBytes, held);
        s.heldCount = 0;
        const std::int32_t read =
            Read(file, destination + held, static_cast<std::int32_t>(requested - held));
        // Never trust a count beyond what was asked for.
        valid =
            held + (read > 0 ? std::min(static_cast<std::uint32_t>(read), requested - held) : 0);
        count = read < 0 ? read : static_cast<std::int32_t>(valid);
        s.readFailed = read < 0;
    }
    s.lastReadCount = count;

    // The controller always plays the whole buffer: what this read did not
    // fill must be silence, not the buffer's previous audio.
    std::memset(destination + valid, 0, size - valid);

    if (format.playMode == PlayMode::Ac3) {
        // A burst is whole whatever its payload: any data makes a full burst.
        s.fillLength[index] = valid > 0 ? static_cast<std::int32_t>(kTransferBufferSize) : 0;
        SwapBytes16(destination, size);
    } else {
        s.fillLength[index] = static_cast<std::int32_t>(valid);
        if (format.swapBytes) {
            SwapBytes16(destination, valid);
        }
    }
    return count;
}
