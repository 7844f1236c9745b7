// The double-buffered streaming loop.
#pragma once

#include "input/input_format.h"
#include "platform/ac97mixer.h"
#include "platform/dos.h"

enum class PlayOutcome {
    Played,   // to the end of the data, or until CTRL-C
    NoSignal, // no signal bit was free; the channel was never started
};

// Streams the file from its first piece to its end or CTRL-C. The channel is
// stopped, the codec restored and the file closed when it returns.
PlayOutcome PlayStream(BPTR file, const InputFormat& format, Library* mixerBase, Mixer* mixer);
