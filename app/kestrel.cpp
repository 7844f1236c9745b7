// kestrel FILE: the player on the default machine.
#include "frontend/entry.h"
#include "machine/machine.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    machine::Config config;
    config.echoOutput = true;
    config.captureAudio = false;
    config.hostSigint = true;
    std::vector<std::string> args(argv, argv + argc);
    return machine::Run(config, PlayerMain, args).returnCode;
}
