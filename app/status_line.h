// The progress line both programs show on a terminal while the player plays:
// machine time so far, of the file's length when that is known, blocks and
// overruns. Never on a pipe or a file.
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "machine/machine.h"

namespace app {

// The progress line, and all else the run writes to the terminal meanwhile.
// One lock orders them: the line is cleared before any other output and
// drawn again after it once standard output is at the start of a line, so
// the player's words never share a line with it. Print is called from
// whichever thread writes: the task (with the machine locked, for what the
// player prints), or a sink or device feed (unlocked); the progress thread
// takes the machine's lock only outside this one, in machine::Progress.
class StatusLine {
public:
    // From the progress thread: the line's new text.
    void Draw(const std::string& text);
    // text whole on stream, the line out of its way.
    void Print(std::FILE* stream, std::string_view text);
    // Clears the line for good.
    void End();

private:
    void Show();

    std::mutex lock_;
    std::string text_; // empty: no line
    bool shown_ = false;
    bool atLineStart_ = true; // standard output's last byte ended a line
};

// Draws the run's progress a few times a second while it runs, when
// standard error is a terminal: the player's output goes through `line`
// then (config.output). seconds: the file's length, 0 when unknown.
class Progress {
public:
    Progress(StatusLine& line, machine::Config& config, double seconds);
    // Stops and clears the line.
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

private:
    std::atomic<bool> running_{true};
    std::thread thread_;
};

} // namespace app
