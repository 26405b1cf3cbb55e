// The command line of sevrane: at most one sound file to load as the window
// opens, and --help. Read before anything else, so that --help and mistakes
// are answered without a display. Qt's own options are not taken: a name
// that begins with '-' is a mistake unless it follows "--".
#pragma once

#include <string>

namespace sevrane::ui {

struct CommandLine {
    enum class Action { Run, ShowHelp, UsageError };
    Action action = Action::Run;
    // The file to load, as the file system spells it; "" for none.
    std::string soundPath;
    // For UsageError: what was wrong, in one line.
    std::string mistake;
};

CommandLine ParseCommandLine(int argc, const char* const* argv);

inline constexpr const char* kUsageText =
    "Usage: sevrane [FILE]\n"
    "Opens the Kelvane demonstration player, with FILE loaded if it is given: a WAV file, or\n"
    "FLAC, Ogg, MP3, AIFF and the other formats of libsndfile.\n"
    "  -h, --help  print this help and exit\n"
    "  --          what follows is the file, even if its name begins with '-'\n";

// Exit statuses: --help 0, a usage mistake 1, no display 2.
inline constexpr int kUsageStatus = 1;
inline constexpr int kNoDisplayStatus = 2;

}  // namespace sevrane::ui
