// The command line, the setup exits and the order in which everything is
// given back.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/player_run.h"

using testing_support::Bytes;
using testing_support::PlayerRun;
using testing_support::RunPlayer;
using testing_support::RunPlayerArgs;
using testing_support::Select;

namespace {

using Lines = std::vector<std::string>;

const Bytes kRawFile = testing_support::Pattern(3 * 6144);

TEST(CommandLine, AnythingButOneArgumentGetsTheUsageLine) {
    struct {
        std::vector<std::string> argv;
        std::string output;
    } cases[] = {
        {{}, "Usage: kestrel filename\n"},
        {{"kestrel"}, "Usage: kestrel filename\n"},
        {{"C:Play"}, "Usage: C:Play filename\n"},
        {{"kestrel", "song.aiff", "0x1000000"}, "Usage: kestrel filename\n"},
        {{"kestrel", "a", "b", "c"}, "Usage: kestrel filename\n"},
    };
    for (const auto& c : cases) {
        const PlayerRun run = RunPlayerArgs(c.argv);
        EXPECT_EQ(run.result.output, c.output);
        EXPECT_EQ(run.result.returnCode, 100);
        EXPECT_TRUE(Select(run.trace, "library_open").empty());
        EXPECT_TRUE(run.result.violations.empty());
    }
}

TEST(CommandLine, OneArgumentIsAFileNameWhateverItLooksLike) {
    for (const std::string name : {"", "-h", "0x10", "$20"}) {
        const PlayerRun run = RunPlayerArgs({"kestrel", name});
        EXPECT_EQ(run.result.output, "");
        EXPECT_EQ(run.result.returnCode, 20);
        const auto opens = Select(run.trace, "file_open");
        ASSERT_EQ(opens.size(), 1u);
        EXPECT_EQ(opens[0].Get("name"), name);
        EXPECT_TRUE(run.result.violations.empty());
    }
}

struct ExitCase {
    const char* name;
    machine::Fault fault;
    std::string output;
    Lines resources;
};

const std::string kOpenMixer = "open ac97mixer.library true";
const std::string kOpenPci = "open cybpci.library true";
const std::string kClosePci = "close cybpci.library";
const std::string kCloseMixer = "close ac97mixer.library";
const std::string kAlloc = "alloc 12320 true";

TEST(SetupExits, EachPrintsItsMessageAndReleasesWhatCameBefore) {
    const ExitCase cases[] = {
        {"E1",
         machine::Fault::MixerLibrary,
         "Unable to open ac97mixer.library\n",
         {"open ac97mixer.library false"}},
        {"E1 old",
         machine::Fault::MixerLibraryOld,
         "Unable to open ac97mixer.library\n",
         {"open ac97mixer.library false"}},
        {"E2", machine::Fault::Mixer, "Can't find mixer\n", {kOpenMixer, kCloseMixer}},
        {"E3",
         machine::Fault::PciLibrary,
         "Unable to open cybpci.library\n",
         {kOpenMixer, "open cybpci.library false", kCloseMixer}},
        {"E4",
         machine::Fault::Device,
         "Unable to find VIA8231 audio device\n",
         {kOpenMixer, kOpenPci, kClosePci, kCloseMixer}},
        {"E5",
         machine::Fault::Memory,
         "Unable to allocate fixed memory address\n",
         {kOpenMixer, kOpenPci, "alloc 12320 false", kClosePci, kCloseMixer}},
        {"window at 0",
         machine::Fault::IoWindow,
         "Unable to find VIA8231 audio device\n",
         {kOpenMixer, kOpenPci, kAlloc, "config32 @04=80900005", "free", kClosePci, kCloseMixer}},
    };
    for (const ExitCase& c : cases) {
        SCOPED_TRACE(c.name);
        machine::Config config;
        config.faults = {c.fault};
        const PlayerRun run = RunPlayer(kRawFile, config);
        EXPECT_EQ(run.result.output, c.output);
        EXPECT_EQ(run.result.returnCode, 20);
        EXPECT_EQ(testing_support::Resources(run), c.resources);
        EXPECT_TRUE(Select(run.trace, "io_write").empty());
        EXPECT_TRUE(Select(run.trace, "io_read").empty());
        EXPECT_TRUE(Select(run.trace, "codec_write").empty());
        EXPECT_TRUE(run.result.violations.empty());
    }
}

TEST(SetupExits, AFileThatCannotBeOpenedEndsSilently) {
    const PlayerRun run = RunPlayerArgs({"kestrel", "/nonexistent/kestrel/file"});
    EXPECT_EQ(run.result.output, "");
    EXPECT_EQ(run.result.returnCode, 20);
    EXPECT_EQ(testing_support::Resources(run),
              (Lines{kOpenMixer, kOpenPci, kAlloc, "config32 @04=80900005", "int_server_add",
                     "config8 @3c=9", "file_open false", "int_server_remove", "free", kClosePci,
                     kCloseMixer}));
    EXPECT_TRUE(Select(run.trace, "io_write").empty());
    EXPECT_TRUE(Select(run.trace, "codec_write").empty());
    EXPECT_TRUE(Select(run.trace, "codec_read").empty());
    EXPECT_TRUE(run.result.violations.empty());
}

TEST(SetupExits, NoFreeSignalNeverStartsTheChannel) {
    machine::Config config;
    config.faults = {machine::Fault::Signal};
    const PlayerRun run = RunPlayer(kRawFile, config);
    EXPECT_EQ(run.result.output, "Transfering audio data\nUnable to allocate signal\n");
    EXPECT_EQ(run.result.returnCode, 20);
    // Only the table pointer was loaded; the channel was never started or stopped.
    const auto writes = Select(run.trace, "io_write");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].Int("offset"), 0x04);
    EXPECT_EQ(writes[0].Int("width"), 32);
    EXPECT_TRUE(Select(run.trace, "delay").empty());
    // The codec was set and put back.
    EXPECT_EQ(run.result.codecRegisters.at(0x18), 0x0808);
    EXPECT_EQ(run.result.codecRegisters.at(0x3A), 0x2000);
    const Lines resources = testing_support::Resources(run);
    EXPECT_EQ(resources.back(), kCloseMixer);
    EXPECT_TRUE(Select(run.trace, "signal_free").empty());
    EXPECT_EQ(Select(run.trace, "file_close").size(), 1u);
    EXPECT_TRUE(run.result.violations.empty());
}

TEST(Teardown, APlayedFileGivesEverythingBackInReverseOrder) {
    const PlayerRun run = RunPlayer(kRawFile);
    ASSERT_EQ(run.result.returnCode, 0);
    const Lines resources = testing_support::Resources(run);
    const auto bit = Select(run.trace, "signal_alloc").at(0).Int("bit");
    const std::string signal = std::to_string(bit);
    EXPECT_EQ(resources, (Lines{kOpenMixer, kOpenPci, kAlloc, "config32 @04=80900005",
                                "int_server_add", "config8 @3c=9", "file_open true",
                                "signal_alloc " + signal, "file_close", "int_server_remove",
                                "signal_free " + signal, "free", kClosePci, kCloseMixer}));
    EXPECT_GE(bit, 16);
    EXPECT_TRUE(run.result.violations.empty());
}

TEST(Teardown, TheServerIsRemovedOnlyAfterTheChannelStopped) {
    const PlayerRun run = RunPlayer(kRawFile);
    const Lines order = testing_support::Summary(
        run.trace, {"io_write", "int_server_remove", "delay", "free", "file_close"});
    const auto at = [&](const std::string& line) {
        return std::find(order.begin(), order.end(), line) - order.begin();
    };
    EXPECT_LT(at("io_write8 @01=40"), at("io_write8 @02=0"));
    EXPECT_LT(at("io_write8 @02=0"), at("delay 2"));
    EXPECT_LT(at("delay 2"), at("file_close"));
    EXPECT_LT(at("file_close"), at("int_server_remove"));
    EXPECT_LT(at("int_server_remove"), at("free"));
}

TEST(Version, TheProgramCarriesItsVersionTag) {
    FILE* f = std::fopen(KESTREL_PROGRAM_PATH, "rb");
    ASSERT_NE(f, nullptr) << KESTREL_PROGRAM_PATH;
    std::string image;
    char chunk[65536];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        image.append(chunk, n);
    }
    std::fclose(f);
    const std::string tag = "$VER: kestrel 1.0 (15.12.05)";
    const auto at = image.find(tag);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(image[at + tag.size()], '\0');
}

} // namespace
