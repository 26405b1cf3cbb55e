// The command line of every program in tools/: one way to read options, one
// set of exit statuses, one form of complaint. Each program lists its options
// in a table; the rules of how they are written are the same for all.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace kelvane::tools {

// Exit statuses, the same in every program.
constexpr int kExitDone = 0;    // done, or stopped as asked (Ctrl-C)
constexpr int kExitUsage = 1;   // the command line was refused; nothing was read or written
constexpr int kExitInput = 2;   // an input was refused or could not be read
constexpr int kExitOutput = 3;  // an output could not be written, or no audio output could be used

// The signals that stop a program (Ctrl-C among them), the same in every
// program. A render batch's threads block them, so that only the calling
// thread hears them and every worker can finish its block and remove its
// temporary file.
const std::vector<int>& StopSignals();

// "PROGRAM: MESSAGE" and a new line on `stream`: how every program tells of
// a problem.
void Complain(const char* program, const std::string& message, std::FILE* stream = stderr);

// One option a program takes.
struct CommandOption {
    std::string name;      // "--speed"
    char shortName = 0;    // 'j' for "-j"; 0 when it has none
    bool takesValue = false;
    // Takes the option's value ("" for an option without one); returns a
    // refusal naming the option, or "" when taken.
    std::function<std::string(const std::string& value)> apply;
};

// An option without a value that sets `target` (which must outlive the
// table).
CommandOption FlagOption(std::string name, bool& target, char shortName = 0);

enum class CommandOutcome { Run, ShowHelp, ShowVersion, UsageError };

struct ParsedCommand {
    CommandOutcome outcome = CommandOutcome::UsageError;
    std::vector<std::string> operands;  // the arguments that are no options, in order
    std::string message;                // for UsageError: one line naming the option at fault
};

// Reads `arguments` (those after the program's name) against `options`, in
// order, applying each option as it comes; the first refusal ends the
// reading, as do -h, --help and --version, which every program takes. The
// rules, the same for every program:
//   --name VALUE and --name=VALUE; -x VALUE and -xVALUE for a short name; a
//     value may start with '-' ("--pitch -5");
//   an option without a value refuses one ("--reverse=yes"), and a short one
//     refuses anything joined to it ("-h=3");
//   "--" ends the options: every argument after it is an operand, as is "-"
//     alone (standard input or output, for a program that takes them).
ParsedCommand ParseCommand(const std::vector<std::string>& arguments, const std::vector<CommandOption>& options);

}  // namespace kelvane::tools
