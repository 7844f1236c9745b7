// A file a program writes beside the run: a capture, the trace. The first
// failure to open or write it is kept and told once, as "PATH: reason"; the
// file is written no more, the run goes on, and the program's exit status
// says that an output is incomplete.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace app {

// Written in large pieces; glibc would size its own buffer at 4 KiB.
inline constexpr std::size_t kOutputBufferBytes = std::size_t{64} * 1024;

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
    std::vector<char> buffer_ = std::vector<char>(kOutputBufferBytes);
    bool failed_ = false;
};

// Whether two paths name one file: the same device and inode when either
// exists (a hard or symbolic link is the file it leads to), else the same
// absolute path once "." and ".." and symbolic links are resolved.
bool SameFile(const std::string& a, const std::string& b);

// A file a run writes, named by what names it ("--trace"); or, first in a
// list, the file it must leave alone.
struct OutputPath {
    const char* what;
    const std::string& path; // empty: none
};

// "WHAT=PATH: the same file as WHAT" for the first path that is the file of
// an earlier one in the list; empty when they are all apart. Nothing is
// opened: it runs before any output is created.
std::string OutputClash(std::span<const OutputPath> paths);

} // namespace app
