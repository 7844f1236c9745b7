// dos.library on the machine: read-only host files, Delay in machine time and
// Printf into the run's output.
#include "platform/dos.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>

#include "machine/clock.h"
#include "machine/printf_format.h"
#include "machine/state.h"
#include "machine/trace.h"

using machine::TheMachine;

namespace {

constexpr std::uint64_t kNsPerTick = 1000000000 / TICKS_PER_SECOND;

machine::OpenFile* FindFile(machine::Machine& m, BPTR file) {
    auto it = m.files.find(file);
    return it == m.files.end() ? nullptr : &it->second;
}

// Hands the host's reason for the last failed call on name to the program.
void Note(machine::Machine& m, const std::string& name) {
    const int error = errno;
    if (m.config.hostNote) {
        m.config.hostNote(name + ": " + std::strerror(error));
    }
}

} // namespace

BPTR Open(const char* name, std::int32_t accessMode) {
    machine::Machine& m = TheMachine();
    std::lock_guard<std::mutex> guard(m.lock);
    machine::CheckTaskContext(m, "Open");
    std::FILE* file = nullptr;
    struct stat st {};
    if (name != nullptr && accessMode == MODE_OLDFILE) {
        file = std::fopen(name, "rb");
        // dos opens files only: a directory is a lock, not a file handle.
        if (file != nullptr && fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode)) {
            std::fclose(file);
            file = nullptr;
            errno = EISDIR;
        }
        if (file == nullptr) {
            Note(m, name);
        }
    }
    BPTR handle = 0;
    if (file != nullptr) {
        handle = m.nextFile;
        m.nextFile += 4;
        auto buffer = std::make_unique_for_overwrite<char[]>(machine::kReadAhead);
        std::setvbuf(file, buffer.get(), _IOFBF, machine::kReadAhead);
        machine::OpenFile& open =
            m.files.emplace(handle, machine::OpenFile{file, name, std::move(buffer)}).first->second;
        // The pipe the program looked into gives back what it took, once.
        const machine::Config::Peeked& peeked = m.config.peeked;
        if (S_ISFIFO(st.st_mode) && !peeked.bytes.empty() && st.st_dev == peeked.device &&
            st.st_ino == peeked.inode && !m.peekedGiven) {
            open.peeked = peeked.bytes;
            m.peekedGiven = true;
        }
    }
    machine::Trace(m, "file_open", {{"name", name != nullptr ? name : ""}, {"ok", handle != 0}});
    return handle;
}

std::int32_t Close(BPTR file) {
    machine::Machine& m = TheMachine();
    std::lock_guard<std::mutex> guard(m.lock);
    machine::CheckTaskContext(m, "Close");
    machine::Trace(m, "file_close");
    machine::OpenFile* open = FindFile(m, file);
    if (open == nullptr) {
        if (file != 0) {
            machine::Violation(m, "Close of a file that is not open");
        }
        return 0;
    }
    std::fclose(open->file);
    m.files.erase(file);
    return 1;
}

std::int32_t Read(BPTR file, void* buffer, std::int32_t length) {
    machine::Machine& m = TheMachine();
    std::unique_lock<std::mutex> lock(m.lock);
    machine::CheckTaskContext(m, "Read");
    const std::uint64_t since = machine::NowNs(m) / 1000;
    const int call = ++m.readCalls;
    machine::CatchUp(m); // what played before the Read was fetched before it
    machine::OpenFile* open = FindFile(m, file);
    std::int32_t count = -1;
    const std::uint32_t bus = machine::CpuToBus(m.memory, reinterpret_cast<std::uintptr_t>(buffer));
    if (open != nullptr && length >= 0 && call != m.config.failReadAt) {
        const auto slow = m.config.slowReadMs.find(call);
        if (slow != m.config.slowReadMs.end()) {
            // The disk takes its time: the devices keep running, and the
            // data lands only when the read is done.
            m.refilling.emplace(bus, bus != 0 ? static_cast<std::uint32_t>(length) : 0);
            machine::SleepFor(m, lock, std::uint64_t{slow->second} * 1000000);
            machine::CatchUp(m);
            m.refilling.reset();
            open = FindFile(m, file);
        }
        if (open != nullptr) {
            auto* to = static_cast<std::uint8_t*>(buffer);
            const std::size_t held =
                std::min(static_cast<std::size_t>(length), open->peeked.size() - open->peekedRead);
            std::copy_n(open->peeked.begin() + static_cast<std::ptrdiff_t>(open->peekedRead), held,
                        to);
            open->peekedRead += held;
            count = static_cast<std::int32_t>(
                held +
                std::fread(to + held, 1, static_cast<std::size_t>(length) - held, open->file));
            if (count == 0 && std::ferror(open->file) != 0) {
                count = -1;
                Note(m, open->name);
            }
        }
        if (bus != 0) {
            machine::NoteRefill(m, bus, static_cast<std::uint32_t>(length));
        }
    }
    const std::uint64_t now = machine::NowNs(m);
    if (bus != 0 && count >= 0) {
        machine::NoteRefillLanded(m, bus, static_cast<std::uint32_t>(length), since, now / 1000);
    }
    machine::TraceAt(m, now, "file_read",
                     {{"requested", length}, {"count", count}, {"since", since}, {"bus", bus}});
    return count;
}

std::int32_t Seek(BPTR file, std::int32_t position, std::int32_t mode) {
    machine::Machine& m = TheMachine();
    std::lock_guard<std::mutex> guard(m.lock);
    machine::CheckTaskContext(m, "Seek");
    const std::int32_t result = [&]() -> std::int32_t {
        machine::OpenFile* open = FindFile(m, file);
        if (open == nullptr) {
            return -1;
        }
        const long old = std::ftell(open->file);
        std::fseek(open->file, 0, SEEK_END);
        const long size = std::ftell(open->file);
        long target = -1;
        switch (mode) {
        case OFFSET_BEGINNING:
            target = position;
            break;
        case OFFSET_CURRENT:
            target = old + position;
            break;
        case OFFSET_END:
            target = size + position;
            break;
        default:
            break;
        }
        // A position outside the file is an error and leaves the file where it was.
        if (target < 0 || target > size) {
            std::fseek(open->file, old, SEEK_SET);
            return -1;
        }
        std::fseek(open->file, target, SEEK_SET);
        return static_cast<std::int32_t>(old);
    }();
    machine::Trace(m, "seek", {{"position", position}, {"mode", mode}, {"result", result}});
    return result;
}

void Delay(std::int32_t ticks) {
    machine::Machine& m = TheMachine();
    std::unique_lock<std::mutex> lock(m.lock);
    machine::CheckTaskContext(m, "Delay");
    const std::uint64_t since = machine::NowNs(m) / 1000;
    if (ticks > 0 && !machine::InInterrupt()) {
        machine::SleepFor(m, lock, static_cast<std::uint64_t>(ticks) * kNsPerTick);
    }
    machine::Trace(m, "delay", {{"ticks", ticks}, {"since", since}});
}

std::int32_t Printf(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const std::string text = machine::FormatPrintf(format, args);
    va_end(args);
    machine::Machine& m = TheMachine();
    std::lock_guard<std::mutex> guard(m.lock);
    machine::CheckTaskContext(m, "Printf");
    m.result.output += text;
    if (m.config.output) {
        m.config.output(text);
    }
    machine::Trace(m, "print", {{"text", text}});
    return static_cast<std::int32_t>(text.size());
}
