#include "app/alsa_sink.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace app {

namespace {

inline constexpr unsigned kChannels = 2;
inline constexpr std::size_t kFrameBytes = std::size_t{kChannels} * 2;
// Enough to ride over the machine's scheduling jitter, short enough that
// CTRL-C is heard at once.
inline constexpr unsigned kLatencyUs = 200000;

// A missing sound card is not an error for the player: ALSA's own messages
// about it would only clutter the terminal.
void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}

class AlsaSink : public machine::AudioSink {
public:
    explicit AlsaSink(snd_pcm_t* pcm) : pcm_(pcm) {}
    ~AlsaSink() override { Finish(); }
    AlsaSink(const AlsaSink&) = delete;
    AlsaSink& operator=(const AlsaSink&) = delete;

    void Write(const machine::AudioChunk& chunk) override {
        if (pcm_ == nullptr || chunk.size < kFrameBytes) {
            return;
        }
        if (chunk.rate != rate_ && !Configure(chunk.rate)) {
            Close();
            return;
        }
        const std::uint8_t* bytes = chunk.bytes;
        if (chunk.muted) {
            silence_.assign(chunk.size, 0);
            bytes = silence_.data();
        }
        auto frames = static_cast<snd_pcm_uframes_t>(chunk.size / kFrameBytes);
        while (frames > 0) {
            const snd_pcm_sframes_t n = snd_pcm_writei(pcm_, bytes, frames);
            if (n < 0) {
                // An underrun (the machine fell behind) or a suspend: start again.
                if (snd_pcm_recover(pcm_, static_cast<int>(n), 1) < 0) {
                    Close();
                    return;
                }
                continue;
            }
            frames -= static_cast<snd_pcm_uframes_t>(n);
            bytes += static_cast<std::size_t>(n) * kFrameBytes;
        }
    }

    void Finish() override {
        if (pcm_ != nullptr && rate_ != 0) {
            snd_pcm_drain(pcm_);
        }
        Close();
    }

private:
    bool Configure(unsigned rate) {
        // New hardware parameters need a stopped stream; let the old rate's
        // sound finish first.
        if (rate_ != 0) {
            snd_pcm_drain(pcm_);
        }
        rate_ = 0;
        if (snd_pcm_set_params(pcm_, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED,
                               kChannels, rate, 1, kLatencyUs) < 0) {
            return false;
        }
        rate_ = rate;
        return true;
    }

    void Close() {
        if (pcm_ != nullptr) {
            snd_pcm_close(pcm_);
            pcm_ = nullptr;
        }
    }

    snd_pcm_t* pcm_;
    unsigned rate_ = 0; // 0 until configured
    std::vector<std::uint8_t> silence_;
};

} // namespace

std::unique_ptr<machine::AudioSink> OpenAlsaSink(const std::string& name, std::string* error) {
    snd_lib_error_set_handler(QuietAlsa);
    snd_pcm_t* pcm = nullptr;
    if (const int rc = snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, 0); rc < 0) {
        *error = snd_strerror(rc);
        return nullptr;
    }
    return std::make_unique<AlsaSink>(pcm);
}

} // namespace app
