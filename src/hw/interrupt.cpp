#include "hw/interrupt.h"

#include "hw/dma.h"
#include "hw/vt8231.h"
#include "platform/exec.h"
#include "platform/io.h"
#include "state/player_state.h"

std::uint32_t AudioInterruptServer() {
    PlayerState& s = gPlayerState;
    const std::uint8_t status = ReadRegister8(ChannelRegister(vt8231::kRegStatus));
    const std::uint8_t ack = status & vt8231::kStatusAck;
    // The line may be shared: nothing of ours is pending.
    if (ack == 0) {
        return 0;
    }
    Task* task = s.playerTask.load(std::memory_order_acquire);
    if (task != nullptr) {
        // One flip per call, even with FLAG and EOL both set; the flip is
        // stored before the task can wake up and read it.
        const std::uint32_t index = s.activeIndex.load(std::memory_order_relaxed);
        s.activeIndex.store(index ^ 1u, std::memory_order_release);
        Signal(task, 1u << s.signalBit);
    }
    WriteRegister8(ChannelRegister(vt8231::kRegStatus), ack);
    MemoryBarrier();
    return 0;
}

std::uint32_t WakeSignals() {
    return (1u << gPlayerState.signalBit) | SIGBREAKF_CTRL_C;
}

bool PrepareSignals() {
    PlayerState& s = gPlayerState;
    // A signal number is a signed byte: -1 says none was free.
    const std::int32_t bit = AllocSignal(-1); // NOLINT(bugprone-signed-char-misuse)
    if (bit < 0) {
        return false;
    }
    s.signalBit = bit;
    // signalBit first: the server may act the moment it sees the task.
    s.playerTask.store(FindTask(nullptr), std::memory_order_release);
    // A wake-up or CTRL-C from before playback must not end or advance it.
    SetSignal(0, WakeSignals());
    return true;
}
