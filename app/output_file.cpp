#include "app/output_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include <sys/stat.h>

namespace app {

OutputFile::OutputFile(const std::string& path, Report report)
    : path_(path), report_(std::move(report)) {
    errno = 0;
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        Fail();
        return;
    }
    std::setvbuf(file_, buffer_.data(), _IOFBF, buffer_.size());
}

OutputFile::~OutputFile() {
    Close();
}

void OutputFile::Write(const void* bytes, std::size_t size) {
    errno = 0;
    if (!failed_ && size > 0 && std::fwrite(bytes, 1, size, file_) != size) {
        Fail();
    }
}

void OutputFile::WriteAt(std::uint64_t offset, const void* bytes, std::size_t size) {
    if (failed_) {
        return;
    }
    errno = 0;
    if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) {
        Fail();
        return;
    }
    Write(bytes, size);
    if (!failed_ && std::fseek(file_, 0, SEEK_END) != 0) {
        Fail();
    }
}

void OutputFile::Flush() {
    errno = 0;
    if (!failed_ && std::fflush(file_) != 0) {
        Fail();
    }
}

void OutputFile::Close() {
    if (file_ == nullptr) {
        return;
    }
    // fclose reports what the last flush of the buffer met.
    errno = 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!closed && !failed_) {
        Fail();
    }
}

void OutputFile::Fail() {
    // A short write with no error set is the system's to explain; EIO says
    // no more than that.
    const int error = errno != 0 ? errno : EIO;
    failed_ = true;
    if (report_) {
        report_(path_ + ": " + std::strerror(error));
    }
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    const bool aExists = ::stat(a.c_str(), &sa) == 0, bExists = ::stat(b.c_str(), &sb) == 0;
    if (aExists || bExists) {
        return aExists && bExists && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    }
    const auto resolved = [](const std::string& path) {
        std::error_code ignored;
        return std::filesystem::weakly_canonical(std::filesystem::absolute(path, ignored), ignored);
    };
    return resolved(a) == resolved(b);
}

std::string OutputClash(std::span<const OutputPath> paths) {
    for (std::size_t i = 1; i < paths.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (!paths[i].path.empty() && !paths[j].path.empty() &&
                SameFile(paths[i].path, paths[j].path)) {
                return std::string(paths[i].what) + "=" + paths[i].path + ": the same file as " +
                       paths[j].what;
            }
        }
    }
    return {};
}

} // namespace app
