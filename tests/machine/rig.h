// What the machine's tests drive it with: a small driver for the audio
// function written from its documentation, and readers for the trace.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "platform/ac97mixer.h"
#include "platform/cybpci.h"
#include "platform/exec.h"

namespace rig {

inline constexpr std::uint32_t kCommandIoAndMaster = 0x0005;

struct Pci {
    Library* library = nullptr;
    PciDevice* device = nullptr;
    std::uintptr_t window = 0; // CPU address of the register window
};

// Opens cybpci.library, finds 1106:3058, turns on I/O decoding and bus
// mastering and reads the window base. Returns false on any failure.
bool OpenPci(Pci& pci);
void ClosePci(Pci& pci);

// Memory the channel reads: a 16-byte aligned area inside one AllocVec block.
struct Dma {
    void* block = nullptr;
    std::uint8_t* base = nullptr;
    std::uint32_t size = 0;
};
bool AllocDma(Dma& dma, std::uint32_t size);
void FreeDma(Dma& dma);
std::uint32_t Bus(const Pci& pci, const void* cpu);

// Writes descriptor `index` of the table at `table`, little-endian.
void SetDescriptor(std::uint8_t* table, int index, std::uint32_t bus, std::uint32_t flagsAndLength);

// Register access relative to the window.
std::uint8_t Read8(const Pci& pci, std::uint32_t offset);
void Write8(const Pci& pci, std::uint32_t offset, std::uint8_t value);
void Write32(const Pci& pci, std::uint32_t offset, std::uint32_t value);

// Runs body on a machine with a command line of just "test".
template <typename Body>
machine::Result RunOn(const machine::Config& config, Body body) {
    return machine::Run(config,
                        [&body](std::int32_t, char**) {
                            body();
                            return 0;
                        },
                        {"test"});
}

// Trace readers.
std::string Event(const std::string& line);
bool HasField(const std::string& line, const std::string& key);
std::int64_t Number(const std::string& line, const std::string& key);
std::string Text(const std::string& line, const std::string& key);
// A flag field: true, false, or absent (-1).
int Flag(const std::string& line, const std::string& key);
std::vector<std::string> Lines(const machine::Result& result, const std::string& event);
int Count(const machine::Result& result, const std::string& event);
// Whether some violation contains `part`.
bool Violated(const machine::Result& result, const std::string& part);

} // namespace rig
