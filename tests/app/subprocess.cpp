#include "subprocess.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace app_testing {

namespace {

// The cross build's emulator command, its words separated by '|'.
std::vector<std::string> RunPrefix() {
    std::vector<std::string> words;
    std::stringstream in(KESTREL_RUN_PREFIX);
    std::string word;
    while (std::getline(in, word, '|')) {
        if (!word.empty()) {
            words.push_back(word);
        }
    }
    return words;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

} // namespace

bool Emulated() {
    return !RunPrefix().empty();
}

std::string ScratchPath(const std::string& name) {
    // One folder per test process, removed when the process ends.
    static const struct Scratch {
        std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("kestrel-app-test-" + std::to_string(::getpid()));
        Scratch() { std::filesystem::create_directories(dir); }
        ~Scratch() {
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        }
    } scratch;
    return (scratch.dir / name).string();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

ProgramRun RunProgram(const std::vector<std::string>& argv, const ProgramOptions& options) {
    static int runs = 0;
    const std::string tag = std::to_string(++runs);
    const std::string outPath = ScratchPath("stdout-" + tag);
    const std::string errPath = ScratchPath("stderr-" + tag);

    std::vector<std::string> words = RunPrefix();
    words.insert(words.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (std::string& w : words) {
        args.push_back(w.data());
    }
    args.push_back(nullptr);
    std::vector<std::string> envWords;
    for (char** e = environ; *e != nullptr; ++e) {
        envWords.emplace_back(*e);
    }
    envWords.insert(envWords.end(), options.env.begin(), options.env.end());
    std::vector<char*> env;
    for (std::string& e : envWords) {
        env.push_back(e.data());
    }
    env.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    ProgramRun run;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data()) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        run.err = "cannot start " + words[0];
        return run;
    }
    posix_spawn_file_actions_destroy(&actions);

    const auto deadline = start + std::chrono::duration<double>(options.timeoutSeconds);
    bool interrupted = options.sigintAfterOutput.empty();
    int wstatus = 0;
    rusage usage{};
    for (;;) {
        const pid_t done = wait4(pid, &wstatus, WNOHANG, &usage);
        if (done == pid) {
            break;
        }
        if (!interrupted && ReadAll(outPath).find(options.sigintAfterOutput) != std::string::npos) {
            kill(pid, SIGINT);
            interrupted = true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    run.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    if (WIFEXITED(wstatus)) {
        run.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        run.signal = WTERMSIG(wstatus);
    }
    run.out = ReadAll(outPath);
    run.err = ReadAll(errPath);
    return run;
}

} // namespace app_testing
