// A host sound device fed from a thread of its own: the machine's line out or
// S/PDIF output goes into a bounded queue, and the feed's thread opens the
// device when the first audio comes, writes it, reconfigures and drains it.
// No device call is made on the thread that runs the machine's devices or on
// the task, so a device that blocks or stalls holds neither up. At speed 1
// the feed is the real clock's crystal: it tells the machine which frame the
// device plays (machine::DeviceClock).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/host_device.h"
#include "machine/machine.h"

namespace app {

class DeviceFeed : public machine::AudioSink, public machine::DeviceClock {
public:
    // Opens the device, on the feed's thread, when the first audio comes:
    // nullptr when it cannot, with why (empty: nothing to say).
    using Opener = std::function<std::unique_ptr<HostDevice>(std::string* why)>;
    // What the feed says of its device, once each, as one line without the
    // program's name: that it does not open, fails, or drops audio.
    using Say = std::function<void(const std::string&)>;

    // name: the device as a line names it ("ALSA PCM 'default'"); instead:
    // what the run does without it ("playing silently").
    DeviceFeed(Opener open, Say say, std::string name, std::string instead);
    ~DeviceFeed() override;
    DeviceFeed(const DeviceFeed&) = delete;
    DeviceFeed& operator=(const DeviceFeed&) = delete;

    // Queues the chunk and returns; when the queue is full (the device cannot
    // keep up with a speed above 1), the chunk is dropped.
    void Write(const machine::AudioChunk& chunk) override;
    // Plays out what is queued, drains and closes the device; returns when
    // it has. Nothing is written after it.
    void Finish() override;
    std::uint64_t PlayingNs() override;

    // How the device kept the machine's pace, for a report: "" when it never
    // played.
    std::string Summary() const;

    // One second of 48 kHz stereo: more than a paced machine ever gets ahead.
    static constexpr std::size_t kQueueBytes = 192000;

private:
    struct Piece {
        machine::AudioChunk chunk; // bytes point into the ring at `at`
        std::size_t at;
    };

    void Run();
    // Plays one piece on the device, opening it first if it is not yet.
    void Play(const machine::AudioChunk& chunk);
    // The device's position after it took what it was given up to acceptedNs.
    void Locate(std::uint32_t rate);

    Opener open_;
    Say say_;
    std::string name_, instead_;

    // Guarded by lock_: the queue, a ring of bytes and the pieces in it.
    std::mutex lock_;
    std::condition_variable wake_;
    // Not zeroed: Write fills each byte before Run reads it.
    std::unique_ptr<std::uint8_t[]> ring_ =
        std::make_unique_for_overwrite<std::uint8_t[]>(kQueueBytes);
    std::size_t head_ = 0, used_ = 0;
    std::deque<Piece> pieces_;
    bool finishing_ = false;
    bool droppedTold_ = false;

    // The feed's thread only.
    std::unique_ptr<HostDevice> device_;
    bool opened_ = false;
    std::vector<std::uint8_t> scratch_;
    std::uint32_t rate_ = 0;

    // Read by the machine's clock from any thread: the machine time of the
    // end of what the device took, of the frame it played when the feed last
    // asked, and when that was (steady clock, ns).
    std::atomic<std::uint64_t> acceptedNs_{0};
    std::atomic<std::uint64_t> playingNs_{machine::kNever};
    std::atomic<std::int64_t> locatedAt_{0};
    std::atomic<bool> behind_{false}; // frames wait for the device, in it or in the queue

    // For the summary: least-squares fits, from 10 s of playing on, of the
    // machine's position (the latest frame it made) and of the wall time
    // against the device's position, all in seconds from the first sample.
    struct Fit {
        double n = 0, x = 0, y = 0, xx = 0, xy = 0;
        void Add(double px, double py);
        double Slope() const;
    };
    mutable std::mutex statsLock_;
    std::uint64_t firstNs_ = machine::kNever, lastNs_ = 0;
    std::chrono::steady_clock::time_point firstWall_{}, lastWall_{};
    Fit machineFit_, wallFit_;
    std::string deviceSummary_;

    std::thread thread_;
};

} // namespace app
