// A sound device whose crystal is not the host's, for tests of the pacing:
// what a USB adapter or an HDMI receiver is to a real player.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "app/host_device.h"

namespace app {

namespace {

using Clock = std::chrono::steady_clock;

class SimulatedDevice : public HostDevice {
public:
    SimulatedDevice(double factor, double everyS, double stallS)
        : factor_(factor), every_(everyS), stall_(stallS) {}

    bool Play(const machine::AudioChunk& chunk, std::string*) override {
        const double frames = static_cast<double>(chunk.size) / machine::kFrameBytes;
        if (rate_ == 0) {
            rate_ = chunk.rate;
        }
        // Silence it played for want of frames counts once more came.
        missing_ += gap_;
        gap_ = 0;
        // Waits, as a device whose buffer is full does, until there is room.
        for (;;) {
            Advance();
            const double room = kHoldS * rate_ - (written_ - played_);
            if (room >= frames) {
                break;
            }
            const double waitS = (frames - room) / (rate_ * factor_);
            std::this_thread::sleep_for(std::chrono::duration<double>(std::max(waitS, 1e-3)));
        }
        written_ += frames;
        if (!started_ && written_ >= kStartS * rate_) {
            started_ = true;
            start_ = last_ = Clock::now();
        }
        return true;
    }

    std::uint64_t Queued() override {
        Advance();
        return static_cast<std::uint64_t>(written_ - played_);
    }

    void Drain() override {
        while (Queued() > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    std::string Summary() const override {
        char text[96];
        std::snprintf(text, sizeof text, "simulated device at %.4f: %.3f s played, %.3f s underrun",
                      factor_, played_ / std::max(rate_, 1.0), missing_ / std::max(rate_, 1.0));
        return text;
    }

private:
    // What it holds, and what it takes before it starts to play.
    static constexpr double kHoldS = 0.5;
    static constexpr double kStartS = 0.1;

    // Seconds the device has spent playing since its start: all but its
    // stalls, which come after each `every_` seconds of playing.
    double PlayingS(Clock::time_point at) const {
        const double s = std::chrono::duration<double>(at - start_).count();
        if (every_ <= 0 || stall_ <= 0) {
            return s;
        }
        const double cycle = every_ + stall_;
        const double cycles = std::floor(s / cycle);
        return cycles * every_ + std::min(s - cycles * cycle, every_);
    }

    // The device plays at its own pace what it holds; what it was due to
    // play and did not hold went out as silence.
    void Advance() {
        if (!started_) {
            return;
        }
        const Clock::time_point now = Clock::now();
        const double due = (PlayingS(now) - PlayingS(last_)) * rate_ * factor_;
        last_ = now;
        const double held = written_ - played_;
        played_ += std::min(due, held);
        gap_ += std::max(0.0, due - held);
    }

    double factor_, every_, stall_;
    double rate_ = 0; // the first chunk's
    Clock::time_point start_{}, last_{};
    bool started_ = false;
    double written_ = 0, played_ = 0, missing_ = 0, gap_ = 0; // frames
};

} // namespace

std::unique_ptr<HostDevice> OpenSimulatedDevice(double factor, double everyS, double stallS) {
    return std::make_unique<SimulatedDevice>(factor, everyS, stallS);
}

} // namespace app
