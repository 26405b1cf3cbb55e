#include "command_line.h"

#include <string_view>

namespace sevrane::ui {

namespace {

CommandLine Mistake(std::string text)
{
    CommandLine mistake;
    mistake.action = CommandLine::Action::UsageError;
    mistake.mistake = std::move(text);
    return mistake;
}

}  // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv)
{
    CommandLine line;
    bool optionsEnded = false;
    int files = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && (argument == "-h" || argument == "--help")) {
            line.action = CommandLine::Action::ShowHelp;
        } else if (!optionsEnded && argument.size() > 1 && argument.front() == '-') {
            return Mistake("unknown option '" + std::string(argument) + "'");
        } else if (++files > 1) {
            return Mistake("one sound file at most, not '" + line.soundPath + "' and '" + std::string(argument) + "'");
        } else {
            line.soundPath = argument;
        }
    }
    return line;
}

}  // namespace sevrane::ui
