#include "command_line.h"

#include <csignal>
#include <optional>

namespace kelvane::tools {

namespace {

ParsedCommand Refuse(std::string message)
{
    ParsedCommand parsed;
    parsed.message = std::move(message);
    return parsed;
}

ParsedCommand Stop(CommandOutcome outcome)
{
    ParsedCommand parsed;
    parsed.outcome = outcome;
    return parsed;
}

const CommandOption* FindOption(const std::vector<CommandOption>& options, const std::string& name, char shortName)
{
    for (const CommandOption& option : options) {
        if (shortName != 0 ? option.shortName == shortName : option.name == name) {
            return &option;
        }
    }
    return nullptr;
}

}  // namespace

const std::vector<int>& StopSignals()
{
    static const std::vector<int> signals = {SIGINT, SIGTERM, SIGHUP};
    return signals;
}

void Complain(const char* program, const std::string& message, std::FILE* stream)
{
    std::fprintf(stream, "%s: %s\n", program, message.c_str());
}

CommandOption FlagOption(std::string name, bool& target, char shortName)
{
    return {std::move(name), shortName, false, [&target](const std::string&) {
                target = true;
                return std::string();
            }};
}

ParsedCommand ParseCommand(const std::vector<std::string>& arguments, const std::vector<CommandOption>& options)
{
    ParsedCommand parsed;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            parsed.operands.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }

        // The option as written ("--jobs", "-j"), the table's entry, and a
        // value joined to it.
        std::string written = argument;
        const CommandOption* option = nullptr;
        std::optional<std::string> value;
        if (argument[1] == '-') {
            if (const std::size_t equals = argument.find('='); equals != std::string::npos) {
                written = argument.substr(0, equals);
                value = argument.substr(equals + 1);
            }
            option = FindOption(options, written, 0);
        } else {
            written = argument.substr(0, 2);
            option = FindOption(options, "", argument[1]);
            if (argument.size() > 2) {
                if (option == nullptr || !option->takesValue) {
                    // "-h=3", "-nq": nothing is joined to a short option
                    // without a value.
                    return Refuse("unknown option '" + argument + "'");
                }
                value = argument.substr(2);
            }
        }

        if (option == nullptr) {
            if (written == "--help" || written == "-h" || written == "--version") {
                if (value) {
                    return Refuse(written + " takes no value");
                }
                return Stop(written == "--version" ? CommandOutcome::ShowVersion : CommandOutcome::ShowHelp);
            }
            return Refuse("unknown option '" + argument + "'");
        }
        if (!option->takesValue) {
            if (value) {
                return Refuse(option->name + " takes no value");
            }
            value = "";
        } else if (!value) {
            if (i + 1 >= arguments.size()) {
                return Refuse(written + " needs a value");
            }
            value = arguments[++i];
        }
        if (std::string refusal = option->apply(*value); !refusal.empty()) {
            return Refuse(refusal);
        }
    }
    parsed.outcome = CommandOutcome::Run;
    return parsed;
}

}  // namespace kelvane::tools
