// Runs the built programs as a user would, through the target's emulator on a
// cross build, and collects what they leave behind.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace app_testing {

struct ProgramRun {
    int status = -1; // exit status; -1 when it did not exit normally
    int signal = 0;  // the signal that ended it, if any
    std::string out; // standard output
    std::string err; // standard error
    double wallSeconds = 0;
    double cpuSeconds = 0; // user + system time of the process
};

struct ProgramOptions {
    std::vector<std::string> env; // NAME=VALUE added to the environment
    // Sends SIGINT once standard output contains this text.
    std::string sigintAfterOutput;
    double timeoutSeconds = 120;
};

// argv[0] is the program's path.
ProgramRun RunProgram(const std::vector<std::string>& argv, const ProgramOptions& options = {});

// True when programs run under an emulator; timing is then not the host's.
bool Emulated();

// A file in this process's scratch directory.
std::string ScratchPath(const std::string& name);

void WriteFile(const std::string& path, const std::string& text);

} // namespace app_testing
