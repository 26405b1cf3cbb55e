// Both programs read their command lines by the same rules: the same
// arguments are taken, or refused with the same message, by each.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "play_options.h"
#include "render_options.h"

namespace kelvane::tools {
namespace {

using ::testing::HasSubstr;

struct Reading {
    CommandOutcome outcome;
    std::string message;
};

// Each program's outcomes list run, help, version and refusal in this order.
template <typename ProgramOutcome>
CommandOutcome OutcomeOf(ProgramOutcome outcome)
{
    static_assert(static_cast<int>(ProgramOutcome::ShowHelp) == static_cast<int>(CommandOutcome::ShowHelp));
    static_assert(static_cast<int>(ProgramOutcome::UsageError) == static_cast<int>(CommandOutcome::UsageError));
    return static_cast<CommandOutcome>(outcome);
}

// What each program makes of `arguments` followed by its files.
Reading ReadByRenderer(std::vector<std::string> arguments)
{
    arguments.insert(arguments.end(), {"in.wav", "out.wav"});
    const render::ParseResult parsed = render::ParseRenderOptions(arguments);
    return {OutcomeOf(parsed.outcome), parsed.message};
}

Reading ReadByPlayer(std::vector<std::string> arguments)
{
    arguments.push_back("in.wav");
    const play::PlayParseResult parsed = play::ParsePlayOptions(arguments);
    return {OutcomeOf(parsed.outcome), parsed.message};
}

TEST(CommandLine, BothProgramsTakeAndRefuseOptionsByTheSameRules)
{
    const std::vector<std::tuple<std::vector<std::string>, CommandOutcome, std::string>> cases = {
        {{"--pitch", "-5"}, CommandOutcome::Run, ""},
        {{"--pitch=-5", "--speed=50%"}, CommandOutcome::Run, ""},
        {{"--reverse", "--", "-x.wav"}, CommandOutcome::UsageError, "too many files: '"},
        {{"-h"}, CommandOutcome::ShowHelp, ""},
        {{"--help"}, CommandOutcome::ShowHelp, ""},
        {{"--version", "--speed", "0"}, CommandOutcome::ShowVersion, ""},
        {{"--speed", "0", "--help"}, CommandOutcome::UsageError, "--speed must be more than 0"},
        {{"-h=3"}, CommandOutcome::UsageError, "unknown option '-h=3'"},
        {{"--help=3"}, CommandOutcome::UsageError, "--help takes no value"},
        {{"--reverse=yes"}, CommandOutcome::UsageError, "--reverse takes no value"},
        {{"--fast=1"}, CommandOutcome::UsageError, "unknown option '--fast=1'"},
        {{"-z"}, CommandOutcome::UsageError, "unknown option '-z'"},
        {{"--pitch"}, CommandOutcome::UsageError, "--pitch needs a number, not 'in.wav'"},
    };
    for (const auto& [arguments, outcome, message] : cases) {
        for (const auto& [program, reading] :
             {std::pair{"kelvane-render", ReadByRenderer(arguments)}, {"kelvane-play", ReadByPlayer(arguments)}}) {
            const std::string label = std::string(program) + " " + arguments.front();
            EXPECT_EQ(reading.outcome, outcome) << label << ": " << reading.message;
            EXPECT_THAT(reading.message, HasSubstr(message)) << label;
        }
    }
}

TEST(CommandLine, ShortOptionsTakeTheirValueJoinedOrNextAndNothingJoinsAFlag)
{
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"-j4", "-oout"}, {"-j", "4", "-o", "out"}, {"--jobs=4", "--output", "out"}}) {
        std::vector<std::string> command = arguments;
        command.push_back("a.wav");
        const render::ParseResult parsed = render::ParseRenderOptions(command);
        ASSERT_EQ(parsed.outcome, render::ParseOutcome::Render) << arguments[0] << ": " << parsed.message;
        EXPECT_EQ(parsed.options.threads, 4) << arguments[0];
        EXPECT_EQ(parsed.options.outputFolder, "out") << arguments[0];
    }
    EXPECT_EQ(render::ParseRenderOptions({"-j", "-o", "out", "a.wav"}).message,
              "--jobs must be a whole number from 1 to 256, not '-o'")
        << "the next argument is the value, whatever it starts with";
    EXPECT_EQ(render::ParseRenderOptions({"-n1", "-o", "out", "a.wav"}).message, "unknown option '-n1'");
    EXPECT_EQ(render::ParseRenderOptions({"a.wav", "b.wav", "--", "-o"}).message,
              "too many files: '-o' (one input, one output, or -o FOLDER)");
    EXPECT_EQ(render::ParseRenderOptions({"a.wav", "--jobs"}).message, "--jobs needs a value");
}

}  // namespace
}  // namespace kelvane::tools
