#include "machine/audio_out.h"

#include "machine/schedule.h"
#include "machine/state.h"

namespace machine {

namespace {

bool SameSettings(const AudioChunk& a, const AudioChunk& b) {
    return a.rate == b.rate && a.muted == b.muted && a.nonAudio == b.nonAudio &&
           a.spdifControl == b.spdifControl;
}

void Append(Capture& capture, const AudioChunk& chunk) {
    const bool same = !capture.segments.empty() && capture.segments.back().rate == chunk.rate &&
                      capture.segments.back().muted == chunk.muted &&
                      capture.segments.back().nonAudio == chunk.nonAudio;
    if (!same) {
        capture.segments.push_back(
            Segment{capture.bytes.size(), chunk.rate, chunk.muted, chunk.nonAudio});
    }
    capture.bytes.insert(capture.bytes.end(), chunk.bytes, chunk.bytes + chunk.size);
}

void Queue(SinkQueue& queue, const AudioChunk& chunk) {
    if (queue.pieces.empty() || !SameSettings(queue.pieces.back().chunk, chunk)) {
        AudioChunk header = chunk;
        header.bytes = nullptr;
        header.size = 0;
        queue.pieces.push_back(SinkQueue::Piece{header, queue.bytes.size()});
    }
    queue.pieces.back().chunk.size += chunk.size;
    queue.bytes.insert(queue.bytes.end(), chunk.bytes, chunk.bytes + chunk.size);
}

void Write(AudioSink* sink, const SinkQueue& queue) {
    for (const SinkQueue::Piece& piece : queue.pieces) {
        AudioChunk chunk = piece.chunk;
        chunk.bytes = queue.bytes.data() + piece.offset;
        Schedule(SchedulePoint::SinkWrite);
        sink->Write(chunk);
    }
}

} // namespace

void Emit(Machine& m, Output output, const AudioChunk& chunk) {
    const bool dac = output == Output::Dac;
    if (m.config.captureAudio) {
        Append(dac ? m.result.dac : m.result.spdif, chunk);
    }
    if ((dac ? m.config.dacSink : m.config.spdifSink) != nullptr) {
        Queue(dac ? m.dacQueue : m.spdifQueue, chunk);
    }
}

bool SinksHungry(const Machine& m) {
    return m.dacQueue.bytes.size() >= kFeedBytes || m.spdifQueue.bytes.size() >= kFeedBytes;
}

void FeedSinks(Machine& m, std::unique_lock<std::mutex>& lock) {
    if (m.dacQueue.pieces.empty() && m.spdifQueue.pieces.empty()) {
        return;
    }
    // The queues' storage is swapped, not freed, so that a long run does not
    // allocate per feed.
    std::swap(m.dacQueue, m.dacFeeding);
    std::swap(m.spdifQueue, m.spdifFeeding);
    lock.unlock();
    Schedule(SchedulePoint::SinksUnlocked);
    if (!m.dacFeeding.pieces.empty()) {
        Write(m.config.dacSink, m.dacFeeding);
    }
    if (!m.spdifFeeding.pieces.empty()) {
        Write(m.config.spdifSink, m.spdifFeeding);
    }
    for (SinkQueue* queue : {&m.dacFeeding, &m.spdifFeeding}) {
        queue->bytes.clear();
        queue->pieces.clear();
    }
    lock.lock();
}

} // namespace machine
