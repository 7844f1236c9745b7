// dos on the machine: host files, failing and slow reads, Delay and Printf.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "machine/rig.h"
#include "platform/dos.h"

namespace {

std::string MakeFile(const std::string& name, const std::string& content) {
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

TEST(DosFiles, ReadReturnsCountsThenZeroAtTheEnd) {
    const std::string path = MakeFile("machine_dos_read", "0123456789");
    std::vector<std::int32_t> counts;
    std::string data;
    BPTR missing = 1;
    const machine::Result r = rig::RunOn({}, [&] {
        missing = Open("/nonexistent/file", MODE_OLDFILE);
        BPTR file = Open(path.c_str(), MODE_OLDFILE);
        char buffer[8];
        for (int i = 0; i < 3; ++i) {
            const std::int32_t count = Read(file, buffer, sizeof buffer);
            counts.push_back(count);
            data.append(buffer, static_cast<std::size_t>(std::max(count, 0)));
        }
        Close(file);
    });
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(counts, (std::vector<std::int32_t>{8, 2, 0}));
    EXPECT_EQ(data, "0123456789");
    const auto opens = rig::Lines(r, "file_open");
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(rig::Flag(opens[0], "ok"), 0);
    EXPECT_EQ(rig::Flag(opens[1], "ok"), 1);
    EXPECT_EQ(rig::Text(opens[1], "name"), path);
    const auto reads = rig::Lines(r, "file_read");
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(rig::Number(reads[1], "requested"), 8);
    EXPECT_EQ(rig::Number(reads[1], "count"), 2);
    EXPECT_EQ(rig::Count(r, "file_close"), 1);
    EXPECT_TRUE(r.violations.empty());
}

TEST(DosFiles, SeekReturnsTheOldPosition) {
    const std::string path = MakeFile("machine_dos_seek", "0123456789");
    struct Step {
        std::int32_t position;
        std::int32_t mode;
        std::int32_t result;
    };
    const Step steps[] = {{4, OFFSET_BEGINNING, 0},  {2, OFFSET_CURRENT, 4},
                          {-1, OFFSET_END, 6},       {11, OFFSET_BEGINNING, -1},
                          {-10, OFFSET_CURRENT, -1}, {0, OFFSET_END, 9}};
    std::vector<std::int32_t> results;
    char last = 0;
    rig::RunOn({}, [&] {
        BPTR file = Open(path.c_str(), MODE_OLDFILE);
        for (const Step& step : steps) {
            results.push_back(Seek(file, step.position, step.mode));
        }
        Seek(file, 9, OFFSET_BEGINNING);
        Read(file, &last, 1);
        Close(file);
    });
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        EXPECT_EQ(results[i], steps[i].result) << "step " << i;
    }
    EXPECT_EQ(last, '9');
}

TEST(DosFiles, TheConfiguredReadFails) {
    const std::string path = MakeFile("machine_dos_fail", std::string(100, 'x'));
    machine::Config config;
    config.failReadAt = 2;
    std::vector<std::int32_t> counts;
    rig::RunOn(config, [&] {
        BPTR file = Open(path.c_str(), MODE_OLDFILE);
        char buffer[10];
        for (int i = 0; i < 3; ++i) {
            counts.push_back(Read(file, buffer, sizeof buffer));
        }
        Close(file);
    });
    EXPECT_EQ(counts, (std::vector<std::int32_t>{10, -1, 10}));
}

TEST(DosFiles, TheConfiguredReadTakesMachineTime) {
    const std::string path = MakeFile("machine_dos_slow", std::string(100, 'x'));
    machine::Config config;
    config.slowReadMs[2] = 100;
    std::vector<std::uint64_t> times;
    rig::RunOn(config, [&] {
        BPTR file = Open(path.c_str(), MODE_OLDFILE);
        char buffer[10];
        for (int i = 0; i < 3; ++i) {
            times.push_back(machine::TimeUs());
            Read(file, buffer, sizeof buffer);
        }
        times.push_back(machine::TimeUs());
        Close(file);
    });
    EXPECT_EQ(times, (std::vector<std::uint64_t>{0, 0, 100000, 100000}));
}

TEST(DosDelay, WaitsTicksOfOneFiftiethSecond) {
    std::vector<std::uint64_t> times;
    const machine::Result r = rig::RunOn({}, [&] {
        for (std::int32_t ticks : {2, 0, 50}) {
            Delay(ticks);
            times.push_back(machine::TimeUs());
        }
    });
    EXPECT_EQ(times, (std::vector<std::uint64_t>{40000, 40000, 1040000}));
    const auto delays = rig::Lines(r, "delay");
    ASSERT_EQ(delays.size(), 3u);
    EXPECT_EQ(rig::Number(delays[0], "ticks"), 2);
}

TEST(DosPrintf, FormatsAsTheTargetDoes) {
    struct Case {
        std::string expected;
        std::function<void()> print;
    };
    const Case cases[] = {
        {"42", [] { Printf("%ld", 42L); }},
        {"-7", [] { Printf("%ld", -7L); }},
        {"-2147483648", [] { Printf("%ld", static_cast<long>(INT32_MIN)); }},
        {"4294967295", [] { Printf("%lu", 4294967295UL); }},
        {"deadbeef", [] { Printf("%lx", 0xDEADBEEFUL); }},
        {"00001234", [] { Printf("%08lx", 0x1234UL); }},
        {"   42|", [] { Printf("%5ld|", 42L); }},
        {"42   |", [] { Printf("%-5d|", 42); }},
        {"-0042", [] { Printf("%05ld", -42L); }},
        {"FF ff 255", [] { Printf("%X %x %u", 255u, 255u, 255u); }},
        {"A|  b", [] { Printf("%c|%3c", 'A', 'b'); }},
        {"Usage: kestrel filename\n", [] { Printf("Usage: %s filename\n", "kestrel"); }},
        {"[ab   ]", [] { Printf("[%-5s]", "ab"); }},
        {"100%", [] { Printf("100%%"); }},
    };
    for (const Case& c : cases) {
        const machine::Result r = rig::RunOn({}, c.print);
        EXPECT_EQ(r.output, c.expected);
        const auto prints = rig::Lines(r, "print");
        ASSERT_EQ(prints.size(), 1u);
        EXPECT_EQ(rig::Text(prints[0], "text"), c.expected);
    }
}

TEST(DosPrintf, TruncatesLongToThirtyTwoBitsOnEveryHost) {
    if (sizeof(long) < 8) {
        GTEST_SKIP() << "long is already 32 bits";
    }
    const machine::Result r = rig::RunOn({}, [] {
        const std::int64_t wide = 0x1FFFFFFFF;
        Printf("%ld %lu %lx", static_cast<long>(wide), static_cast<unsigned long>(wide),
               static_cast<unsigned long>(wide));
    });
    EXPECT_EQ(r.output, "-1 4294967295 ffffffff");
}

TEST(Trace, LinesAreJsonWithTimeContextAndEvent) {
    const machine::Result r = rig::RunOn({}, [] {
        Delay(1);
        Printf("a \"quoted\"\ttab\n");
    });
    ASSERT_EQ(r.trace.size(), 2u);
    EXPECT_EQ(r.trace[0], R"({"t":0,"ctx":"task","ev":"delay","ticks":1})");
    EXPECT_EQ(r.trace[1], R"({"t":20000,"ctx":"task","ev":"print","text":"a \"quoted\"\ttab\n"})");
}

TEST(Trace, StreamsEachLineToTheSink) {
    std::vector<std::string> streamed;
    machine::Config config;
    config.traceSink = [&streamed](const std::string& line) { streamed.push_back(line); };
    const machine::Result r = rig::RunOn(config, [] {
        Printf("x");
        Delay(1);
    });
    EXPECT_EQ(streamed, r.trace);
}

} // namespace
