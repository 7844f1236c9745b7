#include "input/detect.h"

#include <cstring>

#include "input/headers.h"
#include "platform/byteorder.h"
#include "spdif/data_burst.h"
#include "state/player_state.h"

namespace {

std::int32_t RecordRead(std::int32_t count) {
    gPlayerState.lastReadCount = count;
    if (count < 0) {
        gPlayerState.readFailed = true;
    }
    return count;
}

InputFormat IffFormat(const std::uint8_t* header) {
    double rate = 0.0;
    ExtendedToDouble(header + kIffRateOffset, &rate);
    InputFormat format;
    format.playMode = PlayMode::IffPcm;
    format.playbackRate = RateFromDouble(rate);
    format.swapBytes = true;
    Printf("freq: %ld\n", static_cast<long>(format.playbackRate));
    return format;
}

} // namespace

InputFormat DetectInput(BPTR file) {
    auto* header = reinterpret_cast<std::uint8_t*>(gPlayerState.bufferAddress[0]);
    // The tests below look at the buffer as the read left it, whatever the count.
    const std::int32_t count = RecordRead(Read(file, header, kHeaderReadSize));
    Printf("Transfering audio data\n");

    if (std::memcmp(header, "FORM", 4) == 0) {
        // Samples follow the header: the file stays where the read left it.
        return IffFormat(header);
    }

    InputFormat format;
    if (LoadBE16(header) == kAc3SyncWord) {
        const Ac3HeaderInfo info = ParseAc3SyncInfo(header);
        if (info.refusal != Ac3Refusal::None) {
            Printf(Ac3RefusalFormat(info.refusal), static_cast<long>(info.frameSizeCode));
        }
        if (info.refusal == Ac3Refusal::None) {
            Printf("AC3 Stream SampleRate = %ldHz BitRate = %ldkbit\n",
                   static_cast<long>(info.sampleRate), static_cast<long>(info.bitRate));
            Printf("Transfering data in AC3 mode, freq: %ld\n",
                   static_cast<long>(format.playbackRate));
            format.playMode = PlayMode::Ac3;
            format.payloadOffset = iec61937::kBurstHeaderSize;
            format.readSize = info.frameLength;
            format.frameLength = info.frameLength;
            format.swapBytes = true;
        }
    }
    // AC-3 and raw data are played from the first byte, sync word included.
    // A file that cannot be rewound keeps what the header read took from it.
    if (Seek(file, 0, OFFSET_BEGINNING) < 0 && count > 0) {
        std::memcpy(gPlayerState.heldBytes, header, static_cast<std::uint32_t>(count));
        gPlayerState.heldCount = static_cast<std::uint32_t>(count);
    }
    return format;
}
