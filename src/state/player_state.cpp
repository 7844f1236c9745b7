#include "state/player_state.h"

PlayerState gPlayerState{};

void ResetPlayerState() {
    PlayerState& s = gPlayerState;
    s.pciLibrary = nullptr;
    s.pciDevice = nullptr;
    s.readFailed = false;
    s.heldCount = 0;
    s.signalBit = 0;
    s.playerTask.store(nullptr, std::memory_order_relaxed);
    s.activeIndex.store(0, std::memory_order_relaxed);
}
