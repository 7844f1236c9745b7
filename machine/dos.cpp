// dos.library on the machine: read-only host files, Delay in machine time and
// Printf into the run's output.
#include "platform/dos.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>

#include "machine/call.h"
#include "machine/clock.h"
#include "machine/dispatch.h"
#include "machine/printf_format.h"
#include "machine/refill_account.h"
#include "machine/schedule.h"
#include "machine/state.h"
#include "machine/trace.h"

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

// Reads up to length bytes of an open file: first what the program took
// from it before the run, then the file. The data lands in the player's
// memory at the call's moment, all at once. A regular file is read with the
// machine locked, straight into `buffer`; one that may keep the host waiting
// (a pipe) into m.staging with the lock released, the devices handed to the
// hardware thread meanwhile so that they keep their time, and the call is
// brought up to date before the data is copied where it lands.
std::int32_t HostRead(machine::PlatformCall& call, machine::OpenFile& open, void* buffer,
                      std::size_t length) {
    machine::Machine& m = call.m;
    if (!open.regular && m.staging.size() < length) {
        m.staging.resize(length);
    }
    std::uint8_t* to = open.regular ? static_cast<std::uint8_t*>(buffer) : m.staging.data();
    const std::size_t held = std::min(length, open.peeked.size() - open.peekedRead);
    std::copy_n(open.peeked.begin() + static_cast<std::ptrdiff_t>(open.peekedRead), held, to);
    open.peekedRead += held;
    std::size_t got = 0;
    if (open.regular) {
        got = std::fread(to + held, 1, length - held, open.file);
    } else {
        machine::HandOverDevices(m);
        call.lock.unlock();
        machine::Schedule(machine::SchedulePoint::HostReadUnlocked);
        got = std::fread(to + held, 1, length - held, open.file);
        call.lock.lock();
        call.Again();
        std::memcpy(buffer, to, held + got);
    }
    if (held + got == 0 && std::ferror(open.file) != 0) {
        Note(m, open.name);
        return -1;
    }
    return static_cast<std::int32_t>(held + got);
}

} // namespace

BPTR Open(const char* name, std::int32_t accessMode) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
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
        open.regular = S_ISREG(st.st_mode);
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
    machine::PlatformCall call;
    machine::Machine& m = call.m;
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
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    std::unique_lock<std::mutex>& lock = call.lock;
    const std::uint64_t since = machine::NowNs(m);
    const int nth = ++m.readCalls;
    std::int32_t count = -1;
    const std::uint32_t bus = machine::CpuToBus(m.memory, reinterpret_cast<std::uintptr_t>(buffer));
    // A server cannot wait for a disk: from interrupt context the call fails.
    if (machine::CheckTaskContext(m, "Read") && FindFile(m, file) != nullptr && length >= 0 &&
        nth != m.config.failReadAt) {
        if (const auto slow = m.config.slowReadMs.find(nth); slow != m.config.slowReadMs.end()) {
            // The disk takes its time: the devices keep running meanwhile.
            machine::SleepFor(m, lock, std::uint64_t{slow->second} * 1000000);
            call.Again();
        }
        count = HostRead(call, *FindFile(m, file), buffer, static_cast<std::size_t>(length));
    }
    const std::uint64_t now = machine::NowNs(m);
    machine::TraceAt(
        m, now, "file_read",
        {{"requested", length}, {"count", count}, {"since", since / 1000}, {"bus", bus}});
    if (bus != 0 && count >= 0) {
        machine::NoteLanded(m, bus, static_cast<std::uint32_t>(length), now);
    }
    return count;
}

std::int32_t Seek(BPTR file, std::int32_t position, std::int32_t mode) {
    machine::PlatformCall call;
    machine::Machine& m = call.m;
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
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    std::unique_lock<std::mutex>& lock = call.lock;
    const std::uint64_t since = machine::NowNs(m) / 1000;
    // A server cannot wait: from interrupt context the call returns at once.
    if (machine::CheckTaskContext(m, "Delay") && ticks > 0) {
        machine::SleepFor(m, lock, static_cast<std::uint64_t>(ticks) * kNsPerTick);
        call.Again();
    }
    machine::Trace(m, "delay", {{"ticks", ticks}, {"since", since}});
}

std::int32_t Printf(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const std::string text = machine::FormatPrintf(format, args);
    va_end(args);
    machine::PlatformCall call;
    machine::Machine& m = call.m;
    machine::CheckTaskContext(m, "Printf");
    m.result.output += text;
    if (m.config.output) {
        m.config.output(text);
    }
    machine::Trace(m, "print", {{"text", text}});
    return static_cast<std::int32_t>(text.size());
}
