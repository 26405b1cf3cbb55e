// kelvane-render over many files at once (-o FOLDER): every good file comes
// out, every bad one is named and skipped, the exit status tells, and the
// results do not depend on how many threads made them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sndfile.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include <cstdio>
#include <stdexcept>
#include <system_error>

#include "batch.h"
#include "render/render_loop.h"
#include "render_test_support.h"

namespace kelvane::render {
namespace {

// "s12": built by appending, which GCC 12 does not misreport as overlapping.
std::string Numbered(const char* stem, int number)
{
    std::string name = stem;
    name += std::to_string(number);
    return name;
}

using test::ProgramRun;
using test::RunRender;
using test::Sound;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

// The names in `folder`, sorted, hidden files included.
std::vector<std::string> NamesIn(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class RenderBatch : public ::testing::Test {
protected:
    std::string In(const std::string& name) const { return inputs.Path(name); }
    std::string Out(const std::string& name) const { return outputs.Path(name); }

    // A FLAC file cut off part way: it opens, and fails while it renders.
    void WriteTruncatedFlac(const std::string& name)
    {
        test::WriteSound(In(name), test::Music(44100, 2, 0.5, 2), SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
        std::vector<std::uint8_t> bytes = test::ReadBytes(In(name));
        std::ofstream(In(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size() / 2));
    }

    std::vector<std::string> InputPaths() const
    {
        std::vector<std::string> paths;
        for (const std::string& name : inputs.Names()) {
            paths.push_back(In(name));
        }
        return paths;
    }

    test::ScratchFolder inputs;
    test::ScratchFolder outputs;
};

TEST_F(RenderBatch, GoodFilesComeOutBadOnesAreNamedAndTheExitStatusTellsTheWorst)
{
    test::WriteSound(In("a.flac"), test::Music(44100, 2, 0.4, 1), SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    test::WriteSound(In("b.mp3"), test::Music(48000, 1, 0.3, 2), SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);
    test::WriteSound(In("c.wav"), test::Music(32000, 3, 0.2, 3), SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    test::WriteSound(In("d.ogg"), test::Music(44100, 2, 0.3, 4), SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    std::ofstream(In("e.txt")) << "a list of things to render, not a sound";
    test::WriteSound(In("f.wav"), test::Music(44100, 9, 0.1, 5), SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    WriteTruncatedFlac("g.flac");

    // Into a folder that does not exist yet.
    const std::string folder = Out("rendered");
    std::vector<std::string> command = {"--speed", "80", "--pitch", "3", "-j", "2"};
    std::vector<std::string> paths = InputPaths();
    command.insert(command.end(), paths.begin(), paths.end());
    command.insert(command.end(), {"-o", folder});
    ProgramRun run = RunRender(command);

    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_THAT(NamesIn(folder), ElementsAre("a.wav", "b.wav", "c.wav", "d.wav"));
    const std::vector<std::tuple<std::string, int, int, double>> good = {
        {"a.wav", 44100, 2, 0.4}, {"b.wav", 48000, 1, 0.3}, {"c.wav", 32000, 3, 0.2}, {"d.wav", 44100, 2, 0.3}};
    for (const auto& [name, rate, channels, seconds] : good) {
        const Sound output = test::ReadSound(folder + "/" + name);
        EXPECT_EQ(output.sampleRate, rate) << name;
        EXPECT_EQ(output.channels, channels) << name;
        EXPECT_EQ(output.Frames(), static_cast<std::int64_t>(ExpectedOutputFrames(
                                       static_cast<std::uint64_t>(std::lround(seconds * rate)), 80.0)))
            << name;
        EXPECT_THAT(run.out, HasSubstr("-> " + folder + "/" + name + ": ")) << name;
    }
    EXPECT_THAT(run.err, HasSubstr(In("e.txt") + ": not a sound file that can be read"));
    EXPECT_THAT(run.err, HasSubstr(In("f.wav") + ": 9 channels: at most 8 can be processed"));
    EXPECT_THAT(run.err, HasSubstr(In("g.flac") + ": the file ends after "));
    EXPECT_THAT(run.out, HasSubstr("7 files: 4 done, 2 refused, 1 failed\n"));

    // An output that cannot be written is worse than an input refused.
    ASSERT_EQ(::mkdir(Out("blocked").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(Out("blocked/c.flac").c_str(), 0755), 0);
    command.back() = Out("blocked");
    command.insert(command.end(), {"--format", "flac", "--quiet"});
    ProgramRun blocked = RunRender(command);
    EXPECT_EQ(blocked.exitCode, 3) << blocked.err;
    EXPECT_THAT(blocked.err, HasSubstr("cannot write " + Out("blocked/c.flac")));
    EXPECT_THAT(blocked.out, Not(HasSubstr("files:"))) << "--quiet silences the summary";
    EXPECT_THAT(NamesIn(Out("blocked")), ElementsAre("a.flac", "b.flac", "c.flac", "d.flac"));
    EXPECT_TRUE(std::filesystem::is_directory(Out("blocked/c.flac")));
}

TEST_F(RenderBatch, OneThreadAndFourGiveBitIdenticalFiles)
{
    const int formats[] = {SF_FORMAT_WAV | SF_FORMAT_PCM_16, SF_FORMAT_FLAC | SF_FORMAT_PCM_24,
                           SF_FORMAT_WAV | SF_FORMAT_FLOAT, SF_FORMAT_AIFF | SF_FORMAT_PCM_16};
    const int rates[] = {44100, 48000, 32000, 96000};
    for (int i = 0; i < 12; ++i) {
        const int format = formats[i % 4];
        const std::string extension = (format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC   ? ".flac"
                                      : (format & SF_FORMAT_TYPEMASK) == SF_FORMAT_AIFF ? ".aiff"
                                                                                        : ".wav";
        test::WriteSound(In("in" + std::to_string(i) + extension),
                         test::Music(rates[i % 4], 1 + i % 3, 0.2 + 0.02 * i, static_cast<std::uint32_t>(i)),
                         format);
    }
    std::vector<std::string> paths = InputPaths();
    std::vector<std::vector<std::uint8_t>> first;
    for (const std::string threads : {"1", "4"}) {
        std::vector<std::string> command = {"--quiet", "--pitch", "-2.5", "--speed", "130", "--reverse",
                                            "--format", "flac", "-j", threads, "-o", Out(threads)};
        command.insert(command.end(), paths.begin(), paths.end());
        ProgramRun run = RunRender(command);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        std::vector<std::vector<std::uint8_t>> files;
        for (int i = 0; i < 12; ++i) {
            files.push_back(test::ReadBytes(Out(threads + "/in" + std::to_string(i) + ".flac")));
            EXPECT_GT(files.back().size(), 1000u);
        }
        if (first.empty()) {
            first = files;
        } else {
            EXPECT_EQ(files, first);
        }
    }
}

TEST_F(RenderBatch, AFewHundredShortFilesAllComeOutAndTheBadOnesAreCounted)
{
    constexpr int kFiles = 300;
    const Sound tone = test::Tone(32000, 1, 500.0, 0.03, 0.5);
    int bad = 0;
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = Numbered("s", i);
        if (i % 60 == 59) {
            std::ofstream(In(name + ".wav")) << "not sound " << i;
            ++bad;
        } else {
            test::WriteSound(In(name + ".wav"), tone, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        }
    }
    std::vector<std::string> command = {"--pitch", "3", "-j4", "--output=" + Out("all")};
    std::vector<std::string> paths = InputPaths();
    command.insert(command.end(), paths.begin(), paths.end());
    ProgramRun run = RunRender(command);

    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_THAT(run.out, HasSubstr(std::to_string(kFiles) + " files: " + std::to_string(kFiles - bad) + " done, " +
                                   std::to_string(bad) + " refused, 0 failed\n"));
    std::vector<std::string> expected;
    for (int i = 0; i < kFiles; ++i) {
        if (i % 60 != 59) {
            expected.push_back(Numbered("s", i) + ".wav");
        }
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_THAT(NamesIn(Out("all")), ElementsAreArray(expected));
    for (const std::string& name : expected) {
        SF_INFO info = {};
        SNDFILE* file = sf_open(Out("all/" + name).c_str(), SFM_READ, &info);
        ASSERT_NE(file, nullptr) << name;
        EXPECT_EQ(info.frames, tone.Frames()) << name;
        sf_close(file);
    }
    for (int i = 59; i < kFiles; i += 60) {
        EXPECT_THAT(run.err, HasSubstr(In(Numbered("s", i) + ".wav") + ": not a sound file")) << i;
    }
}

TEST_F(RenderBatch, OneProgressBarOverTheBatchOnATerminal)
{
    for (int i = 0; i < 6; ++i) {
        test::WriteSound(In(Numbered("t", i) + ".wav"), test::Music(44100, 2, 1.0, 7),
                         SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    }
    std::vector<std::string> command = {"--speed", "25", "-j", "2", "-o", Out("bar")};
    std::vector<std::string> paths = InputPaths();
    command.insert(command.end(), paths.begin(), paths.end());
    ProgramRun run = test::RunRenderOnTerminal(command);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_THAT(run.err, HasSubstr("/6 files"));
    EXPECT_THAT(run.err, HasSubstr("elapsed"));
    EXPECT_THAT(run.err, HasSubstr("\r\033[K")) << "the bar is erased at the end";
    EXPECT_THAT(run.out, HasSubstr("6 files: 6 done, 0 refused, 0 failed"));
}

// What a batch run in this process wrote on a stream.
std::string Written(std::FILE* stream)
{
    std::string text;
    std::rewind(stream);
    for (int c = std::fgetc(stream); c != EOF; c = std::fgetc(stream)) {
        text.push_back(static_cast<char>(c));
    }
    return text;
}

class RenderBatchFaults : public RenderBatch {
protected:
    // Four short files rendered by RunBatch itself, through `seams`, on up to
    // three threads; `out` and `err` hold its lines.
    BatchSummary Run(const BatchSeams& seams)
    {
        std::vector<std::string> command = {"-j", "3", "-o", Out("")};
        for (const char* name : {"a.wav", "b.wav", "c.wav", "d.wav"}) {
            test::WriteSound(In(name), test::Music(44100, 1, 0.5, 3), SF_FORMAT_WAV | SF_FORMAT_PCM_16);
            command.push_back(In(name));
        }
        ParseResult parsed = ParseRenderOptions(command);
        EXPECT_EQ(parsed.outcome, ParseOutcome::Render) << parsed.message;
        const BatchSummary summary = RunBatch(parsed.options, out, err, false, nullptr, seams);
        outText = Written(out);
        errText = Written(err);
        return summary;
    }

    void TearDown() override
    {
        std::fclose(out);
        std::fclose(err);
    }

    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    std::string outText;
    std::string errText;
};

TEST_F(RenderBatchFaults, ThreadsThatCannotStartLeaveTheFilesToThoseThatDid)
{
    for (int startable : {0, 1}) {
        SCOPED_TRACE(startable);
        BatchSeams seams = RealBatchSeams();
        int started = 0;
        seams.startThread = [&started, startable](std::function<void()> work) {
            if (started == startable) {
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            }
            ++started;
            return std::thread(std::move(work));
        };
        const BatchSummary summary = Run(seams);
        EXPECT_EQ(summary.done, 4);
        EXPECT_EQ(summary.exitCode, 0);
        EXPECT_THAT(errText, HasSubstr(startable == 0 ? "cannot start another thread (Resource temporarily "
                                                        "unavailable): rendering on this one alone\n"
                                                      : "rendering on 1 thread\n"));
        EXPECT_THAT(NamesIn(Out("")), ElementsAre("a.wav", "b.wav", "c.wav", "d.wav"));
        std::filesystem::remove_all(Out(""));
    }
}

TEST_F(RenderBatchFaults, ARenderThatThrowsFailsItsFileAloneAndLeavesNoTemporaryFile)
{
    BatchSeams seams = RealBatchSeams();
    // b throws half way through, its temporary file open; c throws
    // something that is no exception class at all.
    seams.renderFile = [](const RenderJob& job, const RenderOptions& options, const ProgressReport& progress,
                          const std::atomic<int>* stop) {
        const std::string name = std::filesystem::path(job.inputPath).filename().string();
        if (name == "c.wav") {
            throw 42;
        }
        ProgressReport faulty = [&](std::uint64_t done, std::uint64_t total) {
            if (name == "b.wav" && done > total / 2) {
                throw std::runtime_error("the disk went away");
            }
            progress(done, total);
        };
        return RenderFile(job, FileSettingsOf(options), faulty, stop);
    };
    const BatchSummary summary = Run(seams);
    EXPECT_EQ(summary.done, 2);
    EXPECT_EQ(summary.failed, 2);
    EXPECT_EQ(summary.exitCode, 2);
    EXPECT_THAT(errText, HasSubstr("kelvane-render: " + In("b.wav") + ": cannot be rendered: the disk went away\n"));
    EXPECT_THAT(errText, HasSubstr("kelvane-render: " + In("c.wav") + ": cannot be rendered: an unknown fault\n"));
    EXPECT_THAT(NamesIn(Out("")), ElementsAre("a.wav", "d.wav")) << "no hidden file left";
}

}  // namespace
}  // namespace kelvane::render
