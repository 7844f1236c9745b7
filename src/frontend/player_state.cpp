#include "frontend/player_state.h"

PlayerState gPlayerState{};

void ResetPlayerState() {
    PlayerState& s = gPlayerState;
    s.pciLibrary = nullptr;
    s.pciDevice = nullptr;
    s.controllerBase = 0;
    s.fillLength[0] = 0;
    s.fillLength[1] = 0;
    s.lastReadCount = 0;
    s.readFailed = false;
    s.heldCount = 0;
    s.signalBit = 0;
    s.playerTask.store(nullptr, std::memory_order_relaxed);
    s.activeIndex.store(0, std::memory_order_relaxed);
}
