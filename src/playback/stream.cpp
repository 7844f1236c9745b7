#include "playback/stream.h"

#include "hw/codec.h"
#include "hw/dma.h"
#include "hw/interrupt.h"
#include "input/refill.h"
#include "platform/exec.h"
#include "state/player_state.h"

PlayOutcome PlayStream(BPTR file, const InputFormat& format, Library* mixerBase, Mixer* mixer) {
    PlayerState& s = gPlayerState;
    CodecSavedState codec;

    FillTransferBuffer(file, format, 0);
    SetupCodec(mixerBase, mixer, format.playMode, format.playbackRate, &codec);
    if (!PrepareSignals()) {
        // Nothing could ever wake the loop: never start the channel.
        Printf("Unable to allocate signal\n");
        RestoreCodec(mixerBase, mixer, &codec);
        Close(file);
        return PlayOutcome::NoSignal;
    }
    StartDma();
    Printf("Playing file (CTRL-C to abort playing)\n");

    const std::uint32_t wakeMask = WakeSignals();
    std::uint32_t currentBuffer = 0;
    for (;;) {
        // The idle buffer is refilled before every wait.
        FillTransferBuffer(file, format, currentBuffer ^ 1u);
        const std::uint32_t received = Wait(wakeMask);
        // Several buffer ends may have passed: the server's index says where
        // the channel is now.
        currentBuffer = s.activeIndex.load(std::memory_order_acquire);
        if ((received & SIGBREAKF_CTRL_C) != 0) {
            break;
        }
        if (s.fillLength[currentBuffer] == 0) {
            break;
        }
    }

    StopDma();
    RestoreCodec(mixerBase, mixer, &codec);
    Close(file);
    return PlayOutcome::Played;
}
