#include "support/on_machine.h"

#include <algorithm>

#include "frontend/player_state.h"

namespace testing_support {

machine::Result RunOnMachine(const std::function<void()>& body, machine::Config config) {
    return machine::Run(config,
                        [&](std::int32_t, char**) {
                            body();
                            return 0;
                        },
                        {"test"});
}

GuardedBuffers::GuardedBuffers() {
    bytes.fill(kGuardByte);
}

std::uint8_t* GuardedBuffers::Buffer(unsigned index) {
    return bytes.data() + kGuardSize + index * kTransferBufferSize;
}

void GuardedBuffers::Install() {
    ResetPlayerState();
    gPlayerState.bufferAddress[0] = reinterpret_cast<std::uintptr_t>(Buffer(0));
    gPlayerState.bufferAddress[1] = reinterpret_cast<std::uintptr_t>(Buffer(1));
}

bool GuardedBuffers::GuardsIntact() const {
    const auto isGuard = [](std::uint8_t b) { return b == kGuardByte; };
    return std::all_of(bytes.begin(), bytes.begin() + kGuardSize, isGuard) &&
           std::all_of(bytes.end() - kGuardSize, bytes.end(), isGuard);
}

} // namespace testing_support
