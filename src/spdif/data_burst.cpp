#include "spdif/data_burst.h"

#include <cstring>

#include "platform/byteorder.h"
#include "state/player_state.h"

void WriteBurstPreamble(std::uint8_t* buffer, std::uint32_t frameLength) {
    std::memset(buffer, 0, kTransferBufferSize);
    // The controller plays little-endian 16-bit words: Pa and Pc go out in
    // left subframes, Pb and Pd in right ones.
    StoreLE16(buffer + iec61937::kPaOffset, iec61937::kSyncWord1);
    StoreLE16(buffer + iec61937::kPbOffset, iec61937::kSyncWord2);
    StoreLE16(buffer + iec61937::kPcOffset, iec61937::kDataTypeAc3);
    StoreLE16(buffer + iec61937::kPdOffset, iec61937::LengthCode(frameLength));
}

void PrepareBurstBuffers(std::uint32_t frameLength) {
    for (std::uintptr_t address : gPlayerState.bufferAddress) {
        WriteBurstPreamble(reinterpret_cast<std::uint8_t*>(address), frameLength);
    }
}
