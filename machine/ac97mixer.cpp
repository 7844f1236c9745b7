// ac97mixer.library on the machine: one mixer, the codec of the audio
// function, reached a register at a time.
#include "platform/ac97mixer.h"

#include "machine/call.h"
#include "machine/clock.h"
#include "machine/dispatch.h"
#include "machine/state.h"
#include "machine/trace.h"

namespace {

bool CheckCall(machine::Machine& m, Library* base, Mixer* mixer, const char* call) {
    machine::CheckTaskContext(m, call);
    if (base != &m.mixerLibrary || m.mixerLibrary.openCount == 0) {
        machine::Violation(m, std::string(call) +
                                  " with a base that is not the open ac97mixer.library");
        return false;
    }
    if (mixer != &m.mixer) {
        machine::Violation(m, std::string(call) + " with a mixer that FindMixer did not return");
        return false;
    }
    return true;
}

} // namespace

Mixer* FindMixer(Library* base, void* reserved, std::int32_t index, const TagItem* tags) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    machine::CheckTaskContext(m, "FindMixer");
    (void)reserved;
    (void)index; // -1 and null select the first mixer, the only one here
    (void)tags;
    Mixer* const result = [&]() -> Mixer* {
        if (base != &m.mixerLibrary || m.mixerLibrary.openCount == 0) {
            machine::Violation(m, "FindMixer with a base that is not the open ac97mixer.library");
            return nullptr;
        }
        if (HasFault(m, machine::Fault::Mixer)) {
            return nullptr;
        }
        return &m.mixer;
    }();
    machine::Trace(m, "find_mixer", {{"ok", result != nullptr}});
    return result;
}

std::uint32_t ReadCodecRegister(Library* base, Mixer* mixer, std::uint32_t reg) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    if (!CheckCall(m, base, mixer, "ReadCodecRegister")) {
        return 0;
    }
    const std::uint16_t value = machine::CodecRead(m, reg);
    machine::Trace(m, "codec_read", {{"reg", reg}, {"value", value}});
    return value;
}

std::uint32_t WriteCodecRegister(Library* base, Mixer* mixer, std::uint32_t reg,
                                 std::uint32_t value) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    if (!CheckCall(m, base, mixer, "WriteCodecRegister")) {
        return 0;
    }
    const auto word = static_cast<std::uint16_t>(value);
    machine::Trace(m, "codec_write", {{"reg", reg}, {"value", word}});
    machine::CodecWrite(m, reg, word);
    return 0;
}
