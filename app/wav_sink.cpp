#include "app/wav_sink.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "machine/byte_order.h"

namespace app {

namespace {

inline constexpr std::uint16_t kFormatPcm = 1;
inline constexpr std::uint16_t kChannels = 2;
inline constexpr std::uint16_t kBitsPerSample = 16;
static_assert(machine::kFrameBytes == kChannels * kBitsPerSample / 8);
inline constexpr std::uint32_t kFmtChunkSize = 16;

void PutTag(std::uint8_t* at, const char (&tag)[5]) {
    std::memcpy(at, tag, 4);
}

} // namespace

std::array<std::uint8_t, kWavHeaderSize> WavHeader(std::uint32_t rate, std::uint64_t dataBytes) {
    const auto data = static_cast<std::uint32_t>(std::min(dataBytes, kWavMaxDataBytes));
    std::array<std::uint8_t, kWavHeaderSize> h{};
    PutTag(&h[0], "RIFF");
    machine::PutLe32(&h[4], data + 36);
    PutTag(&h[8], "WAVE");
    PutTag(&h[12], "fmt ");
    machine::PutLe32(&h[16], kFmtChunkSize);
    machine::PutLe16(&h[20], kFormatPcm);
    machine::PutLe16(&h[22], kChannels);
    machine::PutLe32(&h[24], rate);
    machine::PutLe32(&h[28], rate * machine::kFrameBytes);
    machine::PutLe16(&h[32], machine::kFrameBytes);
    machine::PutLe16(&h[34], kBitsPerSample);
    PutTag(&h[36], "data");
    machine::PutLe32(&h[40], data);
    return h;
}

WavSink::WavSink(const std::string& path, OutputFile::Report report)
    : file_(path, std::move(report)) {
    UpdateHeader();
}

WavSink::~WavSink() {
    Finish();
}

void WavSink::Write(const machine::AudioChunk& chunk) {
    if (finished_ || file_.failed()) {
        return;
    }
    if (rate_ == 0) {
        rate_ = chunk.rate;
    }
    // The file holds the stream as it was sent, muted or not, like the
    // in-memory capture; a later change of rate is not representable.
    const std::size_t room = static_cast<std::size_t>(kWavMaxDataBytes - dataBytes_);
    const std::size_t size = std::min(chunk.size, room);
    file_.Write(chunk.bytes, size);
    dataBytes_ += size;
    // The header is brought up to date, and the file flushed, once a second
    // of the stream: a killed run leaves a valid file missing at most that.
    if (dataBytes_ - headerBytes_ >= std::uint64_t{rate_} * machine::kFrameBytes) {
        UpdateHeader();
    }
}

void WavSink::Finish() {
    if (finished_) {
        return;
    }
    finished_ = true;
    UpdateHeader();
    file_.Close();
}

void WavSink::UpdateHeader() {
    const auto header = WavHeader(rate_ != 0 ? rate_ : kWavDefaultRate, dataBytes_);
    file_.WriteAt(0, header.data(), header.size());
    file_.Flush();
    headerBytes_ = dataBytes_;
}

} // namespace app
