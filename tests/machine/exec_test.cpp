// exec on the machine: signals, libraries and AllocVec.
#include <gtest/gtest.h>

#include <algorithm>

#include "machine/rig.h"
#include "platform/dos.h"

namespace {

TEST(ExecSignals, AllocSignalHandsOutTheHighestFreeBitThenMinusOne) {
    std::vector<int> bits;
    rig::RunOn({}, [&] {
        for (int i = 0; i < 17; ++i) {
            bits.push_back(AllocSignal(-1));
        }
        for (int bit = 16; bit < 32; ++bit) {
            FreeSignal(bit);
        }
    });
    ASSERT_EQ(bits.size(), 17u);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(bits[static_cast<std::size_t>(i)], 31 - i);
    }
    EXPECT_EQ(bits[16], -1);
}

TEST(ExecSignals, AllocSignalOfAGivenBit) {
    struct Case {
        int ask;
        int got;
    };
    // In order: free, taken, reserved for the system, out of range.
    const Case cases[] = {{20, 20}, {20, -1}, {12, -1}, {5, -1}, {40, -1}};
    std::vector<int> got;
    rig::RunOn({}, [&] {
        for (const Case& c : cases) {
            got.push_back(AllocSignal(c.ask));
        }
        FreeSignal(20);
    });
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(got[i], cases[i].got) << "asked for " << cases[i].ask;
    }
}

TEST(ExecSignals, ASignalSentBeforeWaitIsNotLost) {
    std::uint32_t woke = 0;
    std::uint64_t before = 1;
    std::uint64_t after = 0;
    const machine::Result r = rig::RunOn({}, [&] {
        const std::uint32_t mask = 1u << AllocSignal(-1);
        Signal(FindTask(nullptr), mask);
        before = machine::TimeUs();
        woke = Wait(mask);
        after = machine::TimeUs();
        FreeSignal(31);
    });
    EXPECT_EQ(woke, 1u << 31);
    EXPECT_EQ(before, after);
    EXPECT_TRUE(r.violations.empty());
}

TEST(ExecSignals, SeveralSendsGiveOneWakeUp) {
    const machine::Result r = rig::RunOn({}, [&] {
        const std::uint32_t mask = 1u << AllocSignal(-1);
        Task* task = FindTask(nullptr);
        Signal(task, mask);
        Signal(task, mask);
        Signal(task, mask);
        Wait(mask);
        // Nothing is left to end a second wait.
        Wait(mask);
    });
    EXPECT_TRUE(r.hung);
    EXPECT_EQ(r.returnCode, -1);
}

TEST(ExecSignals, WaitReturnsAndClearsOnlyTheSignalsOfItsMask) {
    std::uint32_t woke = 0;
    std::uint32_t left = 0;
    rig::RunOn({}, [&] {
        const std::uint32_t a = 1u << AllocSignal(-1);
        const std::uint32_t b = 1u << AllocSignal(-1);
        Signal(FindTask(nullptr), a | b | SIGBREAKF_CTRL_C);
        woke = Wait(a | SIGBREAKF_CTRL_C);
        left = SetSignal(0, 0);
        FreeSignal(31);
        FreeSignal(30);
    });
    EXPECT_EQ(woke, (1u << 31) | SIGBREAKF_CTRL_C);
    EXPECT_EQ(left, 1u << 30);
}

TEST(ExecSignals, SetSignalReturnsTheOldSignalsAndChangesOnlyItsSet) {
    std::uint32_t first = 0;
    std::uint32_t second = 0;
    std::uint32_t third = 0;
    rig::RunOn({}, [&] {
        first = SetSignal(0xFFFFFFFF, 0x00F0F000);
        second = SetSignal(0, 0x00300000);
        third = SetSignal(0, 0xFFFFFFFF);
    });
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(second, 0x00F0F000u);
    EXPECT_EQ(third, 0x00C0F000u);
}

TEST(ExecSignals, FindTaskOfNoNameIsTheCallingTask) {
    Task* first = nullptr;
    Task* second = nullptr;
    Task* named = nullptr;
    rig::RunOn({}, [&] {
        first = FindTask(nullptr);
        second = FindTask(nullptr);
        named = FindTask("input.device");
    });
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(named, nullptr);
}

TEST(ExecLibraries, OpenedByNameAndVersion) {
    struct Case {
        const char* name;
        std::uint32_t version;
        bool ok;
    };
    const Case cases[] = {{"ac97mixer.library", 0, true},   {"ac97mixer.library", 50, true},
                          {"ac97mixer.library", 51, false}, {"cybpci.library", 1, true},
                          {"cybpci.library", 99, false},    {"dos.library", 0, false},
                          {"AC97MIXER.LIBRARY", 0, false}};
    for (const Case& c : cases) {
        const machine::Result r = rig::RunOn({}, [&] {
            Library* library = OpenLibrary(c.name, c.version);
            EXPECT_EQ(library != nullptr, c.ok) << c.name << " " << c.version;
            CloseLibrary(library);
        });
        const auto opens = rig::Lines(r, "library_open");
        ASSERT_EQ(opens.size(), 1u);
        EXPECT_EQ(rig::Text(opens[0], "name"), c.name);
        EXPECT_EQ(rig::Number(opens[0], "version"), c.version);
        EXPECT_EQ(rig::Flag(opens[0], "ok"), c.ok ? 1 : 0);
        EXPECT_EQ(rig::Count(r, "library_close"), c.ok ? 1 : 0);
        EXPECT_TRUE(r.violations.empty());
    }
}

TEST(ExecMemory, ClearedOnlyWhenAsked) {
    bool cleared = false;
    bool junk = false;
    bool aligned16 = true;
    const machine::Result r = rig::RunOn({}, [&] {
        auto* a = static_cast<std::uint8_t*>(AllocVec(64, MEMF_CLEAR));
        auto* b = static_cast<std::uint8_t*>(AllocVec(64, MEMF_ANY));
        cleared = std::all_of(a, a + 64, [](std::uint8_t x) { return x == 0; });
        junk = std::none_of(b, b + 64, [](std::uint8_t x) { return x == 0; });
        aligned16 = reinterpret_cast<std::uintptr_t>(a) % 16 == 0;
        FreeVec(a);
        FreeVec(b);
    });
    EXPECT_TRUE(cleared);
    EXPECT_TRUE(junk);
    // Blocks are 8-byte aligned, never 16: a caller needing 16 must round.
    EXPECT_FALSE(aligned16);
    const auto allocs = rig::Lines(r, "alloc");
    ASSERT_EQ(allocs.size(), 2u);
    EXPECT_EQ(rig::Number(allocs[0], "size"), 64);
    EXPECT_EQ(rig::Flag(allocs[0], "ok"), 1);
    EXPECT_EQ(rig::Number(allocs[0], "attributes"), 0x10000);
    EXPECT_EQ(rig::Number(allocs[1], "attributes"), 0);
    EXPECT_EQ(rig::Count(r, "free"), 2);
    EXPECT_TRUE(r.violations.empty());
}

TEST(ExecMemory, ZeroBytesAndNullAreHandledAsOnTheTarget) {
    void* zero = reinterpret_cast<void*>(1);
    const machine::Result r = rig::RunOn({}, [&] {
        zero = AllocVec(0, MEMF_CLEAR);
        FreeVec(nullptr);
    });
    EXPECT_EQ(zero, nullptr);
    EXPECT_TRUE(r.violations.empty());
}

} // namespace
