// The refill's cost against its deadline: one buffer's playing time, 32 ms
// at 48000 Hz. Measured on the emulated machine's dos, so the figure includes
// its Read.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hw/dma_block.h"
#include "input/refill.h"
#include "machine/machine.h"
#include "platform/dos.h"
#include "state/player_state.h"

namespace {

void BM_SwapBytes16(benchmark::State& state) {
    std::vector<std::uint8_t> buffer(kTransferBufferSize, 0x5A);
    for (auto _ : state) {
        SwapBytes16(buffer.data(), kTransferBufferSize);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kTransferBufferSize);
}
BENCHMARK(BM_SwapBytes16);

// The bandwidth a byte swap is measured against: a plain copy of one buffer.
void BM_Memcpy(benchmark::State& state) {
    std::vector<std::uint8_t> from(kTransferBufferSize, 0x5A), to(kTransferBufferSize);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), kTransferBufferSize);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kTransferBufferSize);
}
BENCHMARK(BM_Memcpy);

void BM_FillTransferBuffer(benchmark::State& state) {
    const std::string path = "/tmp/kestrel-bench-refill.bin";
    {
        std::vector<char> data(1 << 22, 0x11);
        FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(data.data(), 1, data.size(), f);
        std::fclose(f);
    }
    InputFormat format;
    format.playMode = static_cast<PlayMode>(state.range(0));
    format.swapBytes = format.playMode != PlayMode::Raw;
    format.payloadOffset = format.playMode == PlayMode::Ac3 ? 8 : 0;
    format.frameLength = format.playMode == PlayMode::Ac3 ? 2048 : kTransferBufferSize;
    format.readSize = format.frameLength;
    std::vector<std::uint8_t> buffers(2 * kTransferBufferSize);

    machine::Config config;
    config.captureAudio = false;
    machine::Run(config,
                 [&](std::int32_t, char**) {
                     ResetPlayerState();
                     gPlayerState.bufferAddress[0] =
                         reinterpret_cast<std::uintptr_t>(buffers.data());
                     gPlayerState.bufferAddress[1] =
                         reinterpret_cast<std::uintptr_t>(buffers.data() + kTransferBufferSize);
                     BPTR file = Open(path.c_str(), MODE_OLDFILE);
                     std::uint32_t index = 0;
                     for (auto _ : state) {
                         if (FillTransferBuffer(file, format, index) <= 0) {
                             Seek(file, 0, OFFSET_BEGINNING);
                         }
                         index ^= 1u;
                     }
                     Close(file);
                     return 0;
                 },
                 {"bench"});
    std::remove(path.c_str());
}
BENCHMARK(BM_FillTransferBuffer)->Arg(0)->Arg(1)->Arg(2)->ArgName("mode");

} // namespace

BENCHMARK_MAIN();
