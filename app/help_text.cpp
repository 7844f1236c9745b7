#include "app/help_text.h"

#include <algorithm>
#include <cstddef>
#include <string_view>

#include "app/options.h"
#include "frontend/entry.h"

namespace app {

namespace {

// What kestrel takes from the environment; both --help texts name it.
struct EnvironmentVariable {
    const char* name;
    const char* help;
};

constexpr EnvironmentVariable kEnvironment[] = {
    {"KESTREL_PCM", "the ALSA PCM that plays the line out (default: \"default\")"},
    {"KESTREL_SPDIF_PCM", "an IEC958 ALSA PCM that also gets the S/PDIF output (none when unset)"},
    {"KESTREL_TIMELINE", "a file that gets the run as a timeline (none when unset)"},
};

// Where --help starts each option's help, and the column its lines end by.
constexpr std::size_t kHelpColumn = 28;
constexpr std::size_t kHelpWidth = 80;

// text at column `at` and on, broken at spaces into lines that end by
// kHelpWidth, each after the first indented to kHelpColumn.
std::string Wrapped(std::string_view text, std::size_t at) {
    std::string lines;
    const std::size_t start = at;
    while (!text.empty()) {
        const std::size_t space = text.find(' ');
        const std::string_view word = text.substr(0, space);
        if (at > start && at + 1 + word.size() > kHelpWidth) {
            lines += '\n' + std::string(kHelpColumn, ' ');
            at = kHelpColumn;
        } else if (!lines.empty()) {
            lines += ' ';
            ++at;
        }
        lines += word;
        at += word.size();
        text = space == std::string_view::npos ? std::string_view{} : text.substr(space + 1);
    }
    return lines;
}

// "  FORM    help", the help from kHelpColumn or two spaces after a longer form.
std::string HelpLine(std::string form, std::string_view help) {
    form.insert(0, "  ");
    form.resize(std::max(form.size() + 2, kHelpColumn), ' ');
    return form + Wrapped(help, form.size()) + "\n";
}

std::string EnvironmentHelp() {
    std::string text;
    for (const EnvironmentVariable& v : kEnvironment) {
        text += HelpLine(v.name, v.help);
    }
    return text;
}

} // namespace

std::string VersionText(std::string_view program) {
    // The player's own "$VER: name version (date)".
    const std::string_view tag = std::string_view(kVersionTag).substr(6);
    const std::size_t space = tag.find(' ');
    const std::string_view name = tag.substr(0, space);
    // As GNU tools print theirs: "program (package) version" for a program
    // that is not the package's own.
    return std::string(program) + (program == name ? "" : " (" + std::string(name) + ")") + " " +
           std::string(tag.substr(space + 1)) + "\n";
}

std::string MachineUsage() {
    std::string text = std::string("Usage: ") + kMachineProgram +
                       " [OPTION]... -- COMMAND [ARG]...\n"
                       "Runs the player on an emulated machine; COMMAND [ARG]... is its command "
                       "line.\n\n";
    for (const OptionHelp& option : MachineOptionHelp()) {
        text += HelpLine(option.form, option.help);
    }
    return text +
           "\nOptions take their value as --OPTION=VALUE or --OPTION VALUE, and may be\n"
           "shortened to any unambiguous start.\n\n"
           "Exit status:\n" +
           HelpLine("N", "the player's return code, as kestrel's") +
           HelpLine("70", "the machine found a violation, whatever the player returned") +
           HelpLine("74", "a capture, the trace or the timeline could not be written whole, "
                          "and the player returned 0") +
           HelpLine("2", "a bad option, or an output on the player's input file") +
           "\nEnvironment:\n"
           "kestrel FILE, the player on the default machine in real time, takes its sound\n"
           "devices from these; kestrel-machine from --live and --live-spdif:\n" +
           EnvironmentHelp();
}

std::string KestrelUsage() {
    return std::string(
               "Usage: kestrel FILE\n"
               "Plays FILE on an emulated machine in real time, heard on this computer's sound\n"
               "device: an AIFF file as PCM through the codec's DAC, an AC-3 stream passed\n"
               "through to the S/PDIF output, anything else as raw 16-bit stereo PCM at\n"
               "48000 Hz. CTRL-C stops playback. Every command line but the two below is\n"
               "the player's own.\n\n") +
           HelpLine("-h, --help", "print this and exit") +
           HelpLine("--version", "print the version and exit") + "\nEnvironment:\n" +
           EnvironmentHelp() + "\nExit status:\n" +
           HelpLine("0", "the file played, or CTRL-C stopped it") +
           HelpLine("2", "KESTREL_TIMELINE names the file to play") +
           HelpLine("10", "a read of the file failed") +
           HelpLine("20", "the file did not open, or the machine lacks what the player needs") +
           HelpLine("70", "the machine found a violation, whatever the player returned") +
           HelpLine("74", "KESTREL_TIMELINE's file could not be written whole, and the player "
                          "returned 0") +
           HelpLine("100", "a wrong command line") +
           "\n"
           "kestrel-machine runs the same player with options: a virtual clock, faults,\n"
           "captures of the line out and the S/PDIF output, the machine's trace and the\n"
           "timeline (see kestrel-machine --help).\n";
}

} // namespace app
