#include "machine/rig.h"

#include "hw/vt8231.h"
#include "platform/byteorder.h"
#include "platform/io.h"

namespace rig {

bool OpenPci(Pci& pci) {
    pci.library = OpenLibrary("cybpci.library", 1);
    if (pci.library == nullptr) {
        return false;
    }
    const TagItem tags[] = {
        {PCIFIND_VENDOR, vt8231::kVendorId}, {PCIFIND_DEVICE, vt8231::kDeviceId}, {TAG_DONE, 0}};
    pci.device = FindPciDevice(pci.library, nullptr, tags);
    if (pci.device == nullptr) {
        return false;
    }
    WritePciConfigLong(pci.library, pci.device, vt8231::kPciCommand, kCommandIoAndMaster);
    pci.window = GetPciDeviceAttr(pci.library, pci.device, PCIATTR_BASE0) & vt8231::kIoBaseMask;
    return pci.window != 0;
}

void ClosePci(Pci& pci) {
    if (pci.library != nullptr) {
        CloseLibrary(pci.library);
    }
    pci = Pci{};
}

bool AllocDma(Dma& dma, std::uint32_t size) {
    dma.block = AllocVec(size + 16, MEMF_CLEAR);
    if (dma.block == nullptr) {
        return false;
    }
    const auto address = reinterpret_cast<std::uintptr_t>(dma.block);
    dma.base = reinterpret_cast<std::uint8_t*>((address + 15) & ~std::uintptr_t{15});
    dma.size = size;
    return true;
}

void FreeDma(Dma& dma) {
    FreeVec(dma.block);
    dma = Dma{};
}

std::uint32_t Bus(const Pci& pci, const void* cpu) {
    return GetPciBusAddress(pci.library, pci.device, const_cast<void*>(cpu));
}

void SetDescriptor(std::uint8_t* table, int index, std::uint32_t bus,
                   std::uint32_t flagsAndLength) {
    StoreLE32(table + index * 8, bus);
    StoreLE32(table + index * 8 + 4, flagsAndLength);
}

std::uint8_t Read8(const Pci& pci, std::uint32_t offset) {
    return ReadRegister8(pci.window + offset);
}

void Write8(const Pci& pci, std::uint32_t offset, std::uint8_t value) {
    WriteRegister8(pci.window + offset, value);
    MemoryBarrier();
}

void Write32(const Pci& pci, std::uint32_t offset, std::uint32_t value) {
    WriteRegister32(pci.window + offset, value);
    MemoryBarrier();
}

std::string Event(const std::string& line) {
    return Text(line, "ev");
}

bool HasField(const std::string& line, const std::string& key) {
    return line.find("\"" + key + "\":") != std::string::npos;
}

std::int64_t Number(const std::string& line, const std::string& key) {
    const std::string marker = "\"" + key + "\":";
    const auto at = line.find(marker);
    if (at == std::string::npos) {
        return -999999;
    }
    return std::stoll(line.substr(at + marker.size()));
}

std::string Text(const std::string& line, const std::string& key) {
    const std::string marker = "\"" + key + "\":\"";
    const auto at = line.find(marker);
    if (at == std::string::npos) {
        return "";
    }
    std::string out;
    for (auto i = at + marker.size(); i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) {
            ++i;
            out += line[i] == 'n' ? '\n' : line[i];
        } else {
            out += line[i];
        }
    }
    return out;
}

int Flag(const std::string& line, const std::string& key) {
    if (line.find("\"" + key + "\":true") != std::string::npos) {
        return 1;
    }
    if (line.find("\"" + key + "\":false") != std::string::npos) {
        return 0;
    }
    return -1;
}

std::vector<std::string> Lines(const machine::Result& result, const std::string& event) {
    std::vector<std::string> lines;
    for (const std::string& line : result.trace) {
        if (Event(line) == event) {
            lines.push_back(line);
        }
    }
    return lines;
}

int Count(const machine::Result& result, const std::string& event) {
    return static_cast<int>(Lines(result, event).size());
}

bool Violated(const machine::Result& result, const std::string& part) {
    for (const std::string& what : result.violations) {
        if (what.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

} // namespace rig
