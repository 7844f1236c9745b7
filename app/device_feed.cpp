#include "app/device_feed.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace app {

namespace {

using WallClock = std::chrono::steady_clock;

// The summary's rates are taken from this far into the playing on, past the
// start, where the machine settles on the device's pace.
constexpr auto kSettled = std::chrono::seconds(10);

std::uint64_t FramesNs(std::uint64_t frames, std::uint32_t rate) {
    return rate == 0 ? 0 : frames * 1000000000u / rate;
}

} // namespace

DeviceFeed::DeviceFeed(Opener open, Say say, std::string name, std::string instead)
    : open_(std::move(open)), say_(std::move(say)), name_(std::move(name)),
      instead_(std::move(instead)), thread_([this] { Run(); }) {}

DeviceFeed::~DeviceFeed() {
    Finish();
}

void DeviceFeed::Write(const machine::AudioChunk& chunk) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (finishing_ || chunk.size == 0) {
        return;
    }
    if (kQueueBytes - used_ < chunk.size) {
        if (!droppedTold_) {
            droppedTold_ = true;
            say_(name_ + " cannot keep up; dropping audio");
        }
        return;
    }
    // A piece still waiting when the next comes: the device is behind.
    if (!pieces_.empty()) {
        behind_ = true;
    }
    const std::size_t at = (head_ + used_) % kQueueBytes;
    const std::size_t first = std::min(chunk.size, kQueueBytes - at);
    std::memcpy(&ring_[at], chunk.bytes, first);
    std::memcpy(ring_.get(), chunk.bytes + first, chunk.size - first);
    used_ += chunk.size;
    pieces_.push_back({chunk, at});

    // The device's position against the machine's, as this chunk leaves.
    const std::uint64_t playing = PlayingNs();
    const std::uint64_t made =
        chunk.timeUs * 1000 + FramesNs(chunk.size / machine::kFrameBytes, chunk.rate);
    if (playing != machine::kNever) {
        const std::lock_guard<std::mutex> stats(statsLock_);
        const WallClock::time_point wall = WallClock::now();
        if (firstNs_ == machine::kNever) {
            firstNs_ = playing;
            firstWall_ = wall;
        }
        lastNs_ = playing;
        lastWall_ = wall;
        if (wall - firstWall_ >= kSettled) {
            const double x = static_cast<double>(playing - firstNs_) / 1e9;
            machineFit_.Add(x, static_cast<double>(made - firstNs_) / 1e9);
            wallFit_.Add(x, std::chrono::duration<double>(wall - firstWall_).count());
        }
    }
    wake_.notify_one();
}

void DeviceFeed::Finish() {
    {
        const std::lock_guard<std::mutex> guard(lock_);
        finishing_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::uint64_t DeviceFeed::PlayingNs() {
    if (!behind_) {
        return machine::kNever;
    }
    // Between the feed's writes the device plays on, at about its rate: up to
    // what it was given.
    const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(
        WallClock::now().time_since_epoch() - std::chrono::nanoseconds(locatedAt_.load()));
    return std::min(playingNs_.load() +
                        static_cast<std::uint64_t>(std::max<std::int64_t>(since.count(), 0)),
                    acceptedNs_.load());
}

void DeviceFeed::Run() {
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
        if (pieces_.empty()) {
            if (finishing_) {
                break;
            }
            wake_.wait(lock, [this] { return !pieces_.empty() || finishing_; });
            continue;
        }
        // The piece keeps its room in the ring until it is played: Write
        // fills only what is free. One that wraps round is put together.
        Piece piece = pieces_.front();
        const std::size_t size = piece.chunk.size;
        const std::size_t first = std::min(size, kQueueBytes - piece.at);
        if (first == size) {
            piece.chunk.bytes = &ring_[piece.at];
        } else {
            scratch_.resize(size);
            std::memcpy(scratch_.data(), &ring_[piece.at], first);
            std::memcpy(scratch_.data() + first, ring_.get(), size - first);
            piece.chunk.bytes = scratch_.data();
        }
        lock.unlock();
        Play(piece.chunk);
        const bool queued = device_ && device_->Queued() > 0;
        lock.lock();
        pieces_.pop_front();
        head_ = (piece.at + size) % kQueueBytes;
        used_ -= size;
        behind_ = queued || !pieces_.empty();
    }
    lock.unlock();
    if (device_) {
        device_->Drain();
        deviceSummary_ = device_->Summary();
        device_.reset();
    }
    behind_ = false;
}

void DeviceFeed::Play(const machine::AudioChunk& chunk) {
    if (!opened_) {
        opened_ = true;
        std::string why;
        device_ = open_(&why);
        if (!device_ && !why.empty()) {
            say_("cannot open " + name_ + ": " + why + "; " + instead_);
        }
    }
    if (!device_) {
        return;
    }
    std::string why;
    if (!device_->Play(chunk, &why)) {
        say_(name_ + " failed: " + why + "; " + instead_);
        device_.reset();
        playingNs_ = machine::kNever;
        return;
    }
    rate_ = chunk.rate;
    acceptedNs_ = chunk.timeUs * 1000 + FramesNs(chunk.size / machine::kFrameBytes, chunk.rate);
    Locate(rate_);
}

void DeviceFeed::Locate(std::uint32_t rate) {
    const std::uint64_t back = FramesNs(device_->Queued(), rate);
    const std::uint64_t accepted = acceptedNs_;
    playingNs_ = accepted > back ? accepted - back : 0;
    locatedAt_ =
        std::chrono::duration_cast<std::chrono::nanoseconds>(WallClock::now().time_since_epoch())
            .count();
}

void DeviceFeed::Fit::Add(double px, double py) {
    n += 1;
    x += px;
    y += py;
    xx += px * px;
    xy += px * py;
}

double DeviceFeed::Fit::Slope() const {
    const double d = n * xx - x * x;
    return d > 0 ? (n * xy - x * y) / d : 0;
}

std::string DeviceFeed::Summary() const {
    const std::lock_guard<std::mutex> stats(statsLock_);
    if (firstNs_ == machine::kNever) {
        return deviceSummary_;
    }
    char text[200];
    std::snprintf(text, sizeof text, "%s played %.3f s of the stream in %.3f s", name_.c_str(),
                  static_cast<double>(lastNs_ - firstNs_) / 1e9,
                  std::chrono::duration<double>(lastWall_ - firstWall_).count());
    std::string line = text;
    if (machineFit_.n >= 2) {
        // The wall fit is seconds of wall time per second the device played.
        std::snprintf(text, sizeof text,
                      "; from %lld s on, machine time ran at %.5f of the device's pace, and it at "
                      "%.5f of the host's clock",
                      static_cast<long long>(kSettled.count()), machineFit_.Slope(),
                      1 / wallFit_.Slope());
        line += text;
    }
    return deviceSummary_.empty() ? line : line + "; " + deviceSummary_;
}

} // namespace app
