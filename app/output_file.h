// A file a program writes beside the run: a capture, the trace. The first
// failure to open or write it is kept and told once, as "PATH: reason"; the
// file is written no more, the run goes on, and the program's exit status
// says that an output is incomplete.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace app {

class OutputFile {
public:
    // Gets "PATH: reason" once, at the first failure, from whichever thread
    // wrote.
    using Report = std::function<void(const std::string&)>;

    // Creates or truncates path; a file that does not open is the first failure.
    OutputFile(const std::string& path, Report report);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void Write(const void* bytes, std::size_t size);
    // Overwrites bytes at offset, then carries on writing at the end.
    void WriteAt(std::uint64_t offset, const void* bytes, std::size_t size);
    // Hands what is buffered to the system.
    void Flush();
    void Close();

    bool failed() const { return failed_; }

private:
    void Fail();

    std::string path_;
    Report report_;
    std::FILE* file_ = nullptr;
    // Written in large pieces; glibc would size its own buffer at 4 KiB.
    std::vector<char> buffer_ = std::vector<char>(std::size_t{64} * 1024);
    bool failed_ = false;
};

} // namespace app
