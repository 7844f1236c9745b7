// kestrel FILE
//
// Plays an AIFF file as PCM through the codec's DAC, passes an AC-3 stream
// through to S/PDIF as IEC 61937 data bursts, and plays anything else as raw
// 16-bit PCM at 48000 Hz. CTRL-C stops playback.
//
// Setup takes the mixer library, the mixer, the PCI library, the device, the
// DMA block, the interrupt server and the file, in this order; each With*
// step below gives back what it took once the steps inside it return, so a
// failure at any step releases exactly what came before it.

#include "frontend/entry.h"

#include "hw/dma.h"
#include "hw/dma_block.h"
#include "hw/interrupt.h"
#include "hw/vt8231.h"
#include "input/detect.h"
#include "platform/ac97mixer.h"
#include "platform/cybpci.h"
#include "platform/dos.h"
#include "platform/exec.h"
#include "playback/stream.h"
#include "spdif/data_burst.h"
#include "state/player_state.h"

[[gnu::used]] const char kVersionTag[] = "$VER: kestrel 1.0 (15.12.05)";

namespace {

inline constexpr std::uint32_t kMixerLibraryVersion = 50;
inline constexpr std::uint32_t kPciLibraryVersion = 1;
// Command: I/O space and bus mastering on. The status half is written too.
inline constexpr std::uint32_t kCommandDword =
    (0x8090u << 16) | vt8231::kCommandIoSpace | vt8231::kCommandBusMaster;
static_assert(kCommandDword == 0x80900005);
inline constexpr std::uint8_t kInterruptLine = 9;
inline constexpr std::uint32_t kIntServerPriority = 100;

std::int32_t WithFile(BPTR file, void* dmaBlock, Library* mixerBase, Mixer* mixer) {
    BuildDescriptorTable(dmaBlock);
    const InputFormat format = DetectInput(file);
    if (format.playMode == PlayMode::Ac3) {
        PrepareBurstBuffers(format.frameLength);
    }
    if (PlayStream(file, format, mixerBase, mixer) == PlayOutcome::NoSignal) {
        return RETURN_FAIL;
    }
    return gPlayerState.readFailed ? RETURN_ERROR : RETURN_OK;
}

std::int32_t WithDmaBlock(void* dmaBlock, const char* fileName, Library* mixerBase, Mixer* mixer) {
    PlayerState& s = gPlayerState;
    WritePciConfigLong(s.pciLibrary, s.pciDevice, vt8231::kPciCommand, kCommandDword);
    s.controllerBase =
        GetPciDeviceAttr(s.pciLibrary, s.pciDevice, PCIATTR_BASE0) & vt8231::kIoBaseMask;
    // A window at 0 is no window: not one register may be touched.
    if (s.controllerBase == 0) {
        Printf("Unable to find VIA8231 audio device\n");
        return RETURN_FAIL;
    }

    const TagItem serverTags[] = {
        {PCIINT_PRIORITY, kIntServerPriority}, {PCIINT_SHARED, 1}, {TAG_DONE, 0}};
    void* server =
        AddPciIntServer(s.pciLibrary, s.pciDevice, AudioInterruptServer, nullptr, serverTags);
    if (server == nullptr) {
        // Playback still runs; only CTRL-C can end it.
        Printf("failed to add int handler\n");
    }
    WritePciConfigByte(s.pciLibrary, s.pciDevice, vt8231::kPciInterruptLine, kInterruptLine);

    std::int32_t rc = RETURN_FAIL;
    const BPTR file = Open(fileName, MODE_OLDFILE);
    if (file != 0) {
        rc = WithFile(file, dmaBlock, mixerBase, mixer);
    }

    // The channel has stopped: the server goes first, then its signal.
    RemPciIntServer(s.pciLibrary, server);
    if (s.signalBit != 0) {
        FreeSignal(s.signalBit);
    }
    return rc;
}

std::int32_t WithPciLibrary(const char* fileName, Library* mixerBase, Mixer* mixer) {
    PlayerState& s = gPlayerState;
    const TagItem deviceTags[] = {
        {PCIFIND_VENDOR, vt8231::kVendorId}, {PCIFIND_DEVICE, vt8231::kDeviceId}, {TAG_DONE, 0}};
    s.pciDevice = FindPciDevice(s.pciLibrary, nullptr, deviceTags);
    if (s.pciDevice == nullptr) {
        Printf("Unable to find VIA8231 audio device\n");
        return RETURN_FAIL;
    }
    void* dmaBlock = AllocVec(kDmaBlockSize, MEMF_CLEAR);
    if (dmaBlock == nullptr) {
        Printf("Unable to allocate fixed memory address\n");
        return RETURN_FAIL;
    }
    const std::int32_t rc = WithDmaBlock(dmaBlock, fileName, mixerBase, mixer);
    FreeVec(dmaBlock);
    return rc;
}

std::int32_t WithMixerLibrary(const char* fileName, Library* mixerBase) {
    PlayerState& s = gPlayerState;
    const TagItem noTags[] = {{TAG_DONE, 0}};
    Mixer* mixer = FindMixer(mixerBase, nullptr, -1, noTags);
    if (mixer == nullptr) {
        Printf("Can't find mixer\n");
        return RETURN_FAIL;
    }
    s.pciLibrary = OpenLibrary("cybpci.library", kPciLibraryVersion);
    if (s.pciLibrary == nullptr) {
        Printf("Unable to open cybpci.library\n");
        return RETURN_FAIL;
    }
    const std::int32_t rc = WithPciLibrary(fileName, mixerBase, mixer);
    CloseLibrary(s.pciLibrary);
    return rc;
}

} // namespace

std::int32_t PlayerMain(std::int32_t argc, char** argv) {
    if (argc != 2) {
        // Started without a command line (from an icon) there is no name to show.
        const char* name = argc > 0 && argv[0] != nullptr ? argv[0] : "kestrel";
        Printf("Usage: %s filename\n", name);
        return kReturnUsage;
    }
    ResetPlayerState();

    Library* mixerBase = OpenLibrary("ac97mixer.library", kMixerLibraryVersion);
    if (mixerBase == nullptr) {
        Printf("Unable to open ac97mixer.library\n");
        return RETURN_FAIL;
    }
    const std::int32_t rc = WithMixerLibrary(argv[1], mixerBase);
    CloseLibrary(mixerBase);
    return rc;
}
