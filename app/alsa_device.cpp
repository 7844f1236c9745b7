#include "app/host_device.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace app {

namespace {

inline constexpr unsigned kChannels = 2;
// Enough to ride over the machine's scheduling jitter, short enough that
// CTRL-C is heard at once; more than the lead the paced machine keeps over
// what the device plays, so that a write never waits for room.
inline constexpr unsigned kLatencyUs = 500000;

// A missing sound card is not an error for the player: ALSA's own messages
// about it would only clutter the terminal.
void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}

int OpenPcm(const std::string& name, snd_pcm_t** pcm) {
    snd_lib_error_set_handler(QuietAlsa);
    return snd_pcm_open(pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, 0);
}

// Sets the channel status through the card's control, as for a PCM on a
// card's own IEC958 device. False when the PCM is not on a card that has it.
bool SetCardStatus(snd_pcm_t* pcm, const std::array<std::uint8_t, 4>& status) {
    snd_pcm_info_t* info = nullptr;
    snd_pcm_info_alloca(&info);
    if (snd_pcm_info(pcm, info) < 0 || snd_pcm_info_get_card(info) < 0) {
        return false;
    }
    char card[32];
    std::snprintf(card, sizeof card, "hw:%d", snd_pcm_info_get_card(info));
    snd_ctl_t* ctl = nullptr;
    if (snd_ctl_open(&ctl, card, 0) < 0) {
        return false;
    }
    snd_ctl_elem_value_t* value = nullptr;
    snd_ctl_elem_value_alloca(&value);
    snd_aes_iec958_t iec958{};
    std::copy(status.begin(), status.end(), iec958.status);
    // The control of the PCM's own device where the card numbers them so,
    // else the card's first.
    bool set = false;
    for (const unsigned index : {snd_pcm_info_get_device(info), 0u}) {
        snd_ctl_elem_value_clear(value);
        snd_ctl_elem_value_set_interface(value, SND_CTL_ELEM_IFACE_MIXER);
        snd_ctl_elem_value_set_name(value, "IEC958 Playback Default");
        snd_ctl_elem_value_set_index(value, index);
        snd_ctl_elem_value_set_iec958(value, &iec958);
        set = set || snd_ctl_elem_write(ctl, value) >= 0;
    }
    snd_ctl_close(ctl);
    return set;
}

class AlsaDevice : public HostDevice {
public:
    // iec958: the PCM is reopened with the channel status each stream asks for.
    AlsaDevice(std::string name, snd_pcm_t* pcm, bool iec958, std::string who)
        : name_(std::move(name)), pcm_(pcm), iec958_(iec958), who_(std::move(who)) {}
    ~AlsaDevice() override { Close(); }
    AlsaDevice(const AlsaDevice&) = delete;
    AlsaDevice& operator=(const AlsaDevice&) = delete;

    bool Play(const machine::AudioChunk& chunk, std::string* why) override {
        if (chunk.size < machine::kFrameBytes) {
            return true;
        }
        if (iec958_ && (pcm_ == nullptr || Iec958Status(chunk.spdifControl) != status_) &&
            !OpenWithStatus(Iec958Status(chunk.spdifControl), why)) {
            return false;
        }
        if (chunk.rate != rate_ && !Configure(chunk.rate, why)) {
            return false;
        }
        const std::uint8_t* bytes = chunk.bytes;
        auto frames = static_cast<snd_pcm_uframes_t>(chunk.size / machine::kFrameBytes);
        while (frames > 0) {
            const snd_pcm_sframes_t n = snd_pcm_writei(pcm_, bytes, frames);
            if (n < 0) {
                // An underrun (the machine fell behind) or a suspend: start again.
                if (const int rc = snd_pcm_recover(pcm_, static_cast<int>(n), 1); rc < 0) {
                    *why = snd_strerror(rc);
                    return false;
                }
                continue;
            }
            frames -= static_cast<snd_pcm_uframes_t>(n);
            bytes += static_cast<std::size_t>(n) * machine::kFrameBytes;
        }
        return true;
    }

    std::uint64_t Queued() override {
        snd_pcm_sframes_t delay = 0;
        if (pcm_ == nullptr || rate_ == 0 || snd_pcm_delay(pcm_, &delay) < 0 || delay < 0) {
            return 0;
        }
        return static_cast<std::uint64_t>(delay);
    }

    void Drain() override { Close(); }

private:
    bool Configure(unsigned rate, std::string* why) {
        // New hardware parameters need a stopped stream; let the old rate's
        // sound finish first.
        if (rate_ != 0) {
            snd_pcm_drain(pcm_);
        }
        rate_ = 0;
        if (const int rc =
                snd_pcm_set_params(pcm_, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED,
                                   kChannels, rate, 1, kLatencyUs);
            rc < 0) {
            *why = snd_strerror(rc);
            return false;
        }
        StartSooner(rate);
        rate_ = rate;
        return true;
    }

    // The device starts once it holds 100 ms, two of the machine's feeds,
    // rather than a full buffer: it sets the machine's pace from then on,
    // and a full buffer's wait would only be latency.
    void StartSooner(unsigned rate) {
        snd_pcm_sw_params_t* sw = nullptr;
        snd_pcm_sw_params_alloca(&sw);
        if (snd_pcm_sw_params_current(pcm_, sw) == 0 &&
            snd_pcm_sw_params_set_start_threshold(pcm_, sw, rate / 10) == 0) {
            snd_pcm_sw_params(pcm_, sw);
        }
    }

    // The status goes with the PCM's name where the device takes AES
    // parameters, else to the card's control; failing both, the plain PCM.
    bool OpenWithStatus(const std::array<std::uint8_t, 4>& status, std::string* why) {
        Close();
        status_ = status;
        if (OpenPcm(WithAesParameters(name_, status), &pcm_) >= 0) {
            return true;
        }
        if (const int rc = OpenPcm(name_, &pcm_); rc < 0) {
            pcm_ = nullptr;
            *why = snd_strerror(rc);
            return false;
        }
        if (!SetCardStatus(pcm_, status) && !told_) {
            std::fprintf(stderr,
                         "%s: cannot set the IEC958 channel status of ALSA PCM '%s'; sending the "
                         "stream as it is\n",
                         who_.c_str(), name_.c_str());
            told_ = true;
        }
        return true;
    }

    void Close() {
        if (pcm_ != nullptr) {
            if (rate_ != 0) {
                snd_pcm_drain(pcm_);
            }
            snd_pcm_close(pcm_);
            pcm_ = nullptr;
        }
        rate_ = 0;
    }

    std::string name_;
    snd_pcm_t* pcm_;
    bool iec958_;
    std::string who_;
    unsigned rate_ = 0; // 0 until configured
    std::array<std::uint8_t, 4> status_{};
    bool told_ = false;
};

} // namespace

std::unique_ptr<HostDevice> OpenAlsaDevice(const std::string& name, bool iec958,
                                           const std::string& who, std::string* why) {
    snd_pcm_t* pcm = nullptr;
    if (const int rc = OpenPcm(name, &pcm); rc < 0) {
        *why = snd_strerror(rc);
        return nullptr;
    }
    if (iec958) {
        // Opened once now so that a PCM that does not exist is named; the
        // stream opens it again with its channel status.
        snd_pcm_close(pcm);
        pcm = nullptr;
    }
    return std::make_unique<AlsaDevice>(name, pcm, iec958, who);
}

} // namespace app
