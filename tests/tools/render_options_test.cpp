// The renderer's command line: what it takes, and how it refuses what it
// does not.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "render_options.h"

namespace kelvane::render {
namespace {

using ::testing::HasSubstr;

ParseResult Parse(std::vector<std::string> arguments)
{
    return ParseRenderOptions(arguments);
}

TEST(RenderOptions, TakesValuesSeparateOrAfterEqualsAnywhereAmongThePaths)
{
    ParseResult defaults = Parse({"in.wav", "out.wav"});
    ASSERT_EQ(defaults.outcome, ParseOutcome::Render) << defaults.message;
    EXPECT_EQ(defaults.options.speedPercent, 100.0);
    EXPECT_FALSE(EffectiveFormantSemitones(defaults.options).has_value()) << "formants follow the pitch";
    EXPECT_FALSE(defaults.options.sampleFormat.has_value()) << "the input's depth";

    ParseResult parsed = Parse({"--speed", "50%", "in.wav", "--pitch", "-5.5", "--formant=-2", "--quality=0",
                                "--bits", "32f", "--reverse", "--quiet", "out.wav"});
    ASSERT_EQ(parsed.outcome, ParseOutcome::Render) << parsed.message;
    const RenderOptions& options = parsed.options;
    EXPECT_EQ(options.speedPercent, 50.0);
    EXPECT_EQ(options.pitchSemitones, -5.5);
    EXPECT_EQ(EffectiveFormantSemitones(options), -2.0);
    EXPECT_EQ(options.quality, 0);
    EXPECT_EQ(options.sampleFormat, SampleFormat::Float32);
    EXPECT_TRUE(options.reverse && options.quiet);
    ASSERT_EQ(options.jobs.size(), 1u);
    EXPECT_EQ(options.jobs[0].inputPath, "in.wav");
    EXPECT_EQ(options.jobs[0].outputPath, "out.wav");
    EXPECT_FALSE(options.batch);

    ParseResult preserved = Parse({"--preserve-formants", "--pitch", "7", "--", "-in.wav", "-"});
    ASSERT_EQ(preserved.outcome, ParseOutcome::Render) << preserved.message;
    EXPECT_EQ(EffectiveFormantSemitones(preserved.options), 7.0);
    EXPECT_EQ(preserved.options.jobs.at(0).inputPath, "-in.wav") << "after --, everything is a path";
}

TEST(RenderOptions, RangesIncludeTheirLimitsAndRefusalsNameTheOptionAndTheRange)
{
    for (std::vector<std::string> accepted : std::vector<std::vector<std::string>>{
             {"--speed", "0.001", "--pitch", "-24", "--formant", "24", "--bits", "16"},
             {"--speed", "400", "--pitch", "24", "--formant", "-24", "--bits", "24", "--quality", "1"}}) {
        accepted.insert(accepted.end(), {"in.wav", "out.wav"});
        EXPECT_EQ(Parse(accepted).outcome, ParseOutcome::Render) << Parse(accepted).message;
    }
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--speed", "0"}, "--speed must be more than 0 and at most 400 percent, not '0'"},
        {{"--speed=400.01"}, "--speed must be more than 0 and at most 400 percent"},
        {{"--pitch", "-24.5"}, "--pitch must be from -24 to 24 semitones"},
        {{"--formant", "30"}, "--formant must be from -24 to 24 semitones"},
        {{"--quality", "2"}, "--quality must be 0 or 1"},
        {{"--bits", "32"}, "--bits must be 16, 24 or 32f"},
        {{"--pitch", "12abc"}, "--pitch needs a number, not '12abc'"},
        {{"--pitch", "nan"}, "--pitch needs a number"},
        {{"--pitch", "1e999"}, "--pitch needs a number"},
        {{"--pitch", "5%"}, "--pitch needs a number"},
        {{"--speed"}, "--speed needs a value"},
        {{"--fast"}, "unknown option '--fast'"},
        {{"--reverse=yes"}, "--reverse takes no value"},
        {{"--formant", "3", "--preserve-formants"},
         "--formant and --preserve-formants cannot be used together"},
    };
    for (const auto& [arguments, expected] : refused) {
        std::vector<std::string> command = {"in.wav", "out.wav"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        ParseResult parsed = Parse(command);
        EXPECT_EQ(parsed.outcome, ParseOutcome::UsageError) << expected;
        EXPECT_THAT(parsed.message, HasSubstr(expected));
    }
    EXPECT_THAT(Parse({"in.wav"}).message, HasSubstr("needs an input and an output file"));
    EXPECT_THAT(Parse({"a.wav", "b.wav", "c.wav"}).message, HasSubstr("too many files: 'c.wav'"));
}

TEST(RenderOptions, TheOutputNameOrFormatChoosesTheContainerAndBitsMustFitIt)
{
    const std::vector<std::pair<std::vector<std::string>, Container>> chosen = {
        {{"in.mp3", "out.flac"}, Container::Flac},
        {{"in.wav", "OUT.AIF"}, Container::Aiff},
        {{"in.wav", "out"}, Container::Wav},
        {{"in.wav", "out.ogg"}, Container::OggVorbis},
        {{"in.flac", "out.w64", "--bits", "32f"}, Container::W64},
        {{"in.wav", "out.data", "--format", "flac"}, Container::Flac},
    };
    for (const auto& [arguments, container] : chosen) {
        ParseResult parsed = Parse(arguments);
        ASSERT_EQ(parsed.outcome, ParseOutcome::Render) << arguments[1] << ": " << parsed.message;
        EXPECT_EQ(parsed.options.container, container) << arguments[1];
    }
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"in.wav", "out.mp3"}, "cannot tell the output format from '.mp3'"},
        {{"in.wav", "out.wav", "--format", "mp3"}, "--format must be wav, flac, ogg, aiff or w64, not 'mp3'"},
        {{"in.wav", "out.flac", "--bits", "32f"}, "--bits: FLAC cannot hold 32-bit float"},
        {{"in.wav", "out.ogg", "--bits", "16"}, "--bits does not apply to Ogg Vorbis output"},
    };
    for (const auto& [arguments, expected] : refused) {
        ParseResult parsed = Parse(arguments);
        EXPECT_EQ(parsed.outcome, ParseOutcome::UsageError) << expected;
        EXPECT_THAT(parsed.message, HasSubstr(expected));
    }
}

TEST(RenderOptions, OutputFolderMakesABatchOfEveryInputUnderItsOwnName)
{
    ParseResult parsed = Parse({"-j4", "a/one.flac", "two.mp3", "-o", "out", "b/three.wav"});
    ASSERT_EQ(parsed.outcome, ParseOutcome::Render) << parsed.message;
    const RenderOptions& options = parsed.options;
    EXPECT_TRUE(options.batch);
    EXPECT_EQ(options.threads, 4);
    ASSERT_EQ(options.jobs.size(), 3u);
    EXPECT_EQ(options.jobs[0].inputPath, "a/one.flac");
    EXPECT_EQ(options.jobs[0].outputPath, "out/one.wav") << "WAV unless --format says otherwise";
    EXPECT_EQ(options.jobs[1].outputPath, "out/two.wav");
    EXPECT_EQ(options.jobs[2].outputPath, "out/three.wav");

    ParseResult flac = Parse({"--output=out", "--jobs=1", "--format", "flac", "x.wav"});
    ASSERT_EQ(flac.outcome, ParseOutcome::Render) << flac.message;
    EXPECT_EQ(flac.options.threads, 1);
    EXPECT_EQ(flac.options.jobs.at(0).outputPath, "out/x.flac");
    EXPECT_EQ(Parse({"-o", "out", "x.wav"}).options.threads, 0) << "one per core";

    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"-o", "out"}, "needs input files to render into out"},
        {{"-o"}, "-o needs a value"},
        {{"--output=", "x.wav"}, "--output needs a folder"},
        {{"-o", "out", "a/x.flac", "b/x.mp3"}, "'a/x.flac' and 'b/x.mp3' would both be written to 'out/x.wav'"},
        {{"-j", "0", "-o", "out", "x.wav"}, "--jobs must be a whole number from 1 to 256, not '0'"},
        {{"-j2x", "-o", "out", "x.wav"}, "--jobs must be a whole number"},
        {{"-o", "out", "--format", "ogg", "--bits", "24", "x.wav"}, "--bits does not apply to Ogg Vorbis output"},
        {{"a.wav", "b.wav", "c.wav"}, "too many files: 'c.wav' (one input, one output, or -o FOLDER)"},
    };
    for (const auto& [arguments, expected] : refused) {
        ParseResult refusal = Parse(arguments);
        EXPECT_EQ(refusal.outcome, ParseOutcome::UsageError) << expected;
        EXPECT_THAT(refusal.message, HasSubstr(expected));
    }
}

TEST(RenderOptions, HelpAndVersionNeedNoFiles)
{
    EXPECT_EQ(Parse({"-h", "--speed", "900"}).outcome, ParseOutcome::ShowHelp);
    EXPECT_EQ(Parse({"--version"}).outcome, ParseOutcome::ShowVersion);
    EXPECT_EQ(FormatVersion(0x050601), "5.6.1");
    EXPECT_EQ(FormatVersion(0x0A0B0C), "10.11.12");
}

}  // namespace
}  // namespace kelvane::render
