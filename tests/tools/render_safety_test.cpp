// kelvane-render and the user's files: no input is ever written over, -n
// keeps what exists, a linked output is written through its link, an
// interrupted batch leaves only whole files and can be finished, and a file
// cut short renders as far as it goes and says so.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "render_test_support.h"

namespace kelvane::render {
namespace {

namespace fs = std::filesystem;
using test::ProgramRun;
using test::RunRender;
using test::ScratchFolder;
using test::Sound;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// Everything under `root`: each file's bytes, each link's target, each
// folder, by path below `root`.
std::map<std::string, std::string> Snapshot(const std::string& root)
{
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = fs::relative(entry.path(), root).string();
        if (entry.is_symlink()) {
            entries[name] = "link to " + fs::read_symlink(entry.path()).string();
        } else if (entry.is_directory()) {
            entries[name] = "folder";
        } else {
            const std::vector<std::uint8_t> bytes = test::ReadBytes(entry.path().string());
            entries[name] = std::string(bytes.begin(), bytes.end());
        }
    }
    return entries;
}

std::vector<std::string> HiddenNames(const std::string& root)
{
    std::vector<std::string> hidden;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.path().filename().string().front() == '.') {
            hidden.push_back(entry.path().string());
        }
    }
    return hidden;
}

std::string TextOf(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

ino_t InodeOf(const std::string& path)
{
    struct stat status = {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_ino;
}

TEST(RenderSafety, AnOutputThatIsAnInputIsRefusedBeforeAnythingIsWritten)
{
    struct Case {
        const char* what;
        std::function<void(const ScratchFolder&)> prepare;
        std::vector<std::string> arguments;  // "@" stands for the scratch folder
        std::vector<std::string> named;      // both paths, as the message gives them
    };
    const std::vector<Case> cases = {
        {"the same path", {}, {"@/a.wav", "@/a.wav"}, {"@/a.wav", "@/a.wav"}},
        {"another spelling", {}, {"@/a.wav", "@/./sub/../a.wav"}, {"@/a.wav", "@/./sub/../a.wav"}},
        {"a hard link",
         [](const ScratchFolder& f) {
             ASSERT_EQ(::link(f.Path("a.wav").c_str(), f.Path("hard.wav").c_str()), 0);
         },
         {"--pitch", "3", "@/a.wav", "@/hard.wav"},
         {"@/a.wav", "@/hard.wav"}},
        {"a symbolic link",
         [](const ScratchFolder& f) { ASSERT_EQ(::symlink("../a.wav", f.Path("sub/link.wav").c_str()), 0); },
         {"@/a.wav", "@/sub/link.wav"},
         {"@/a.wav", "@/sub/link.wav"}},
        {"a batch into its inputs' folder",
         {},
         {"--pitch", "3", "@/a.wav", "@/b.wav", "-o", "@/."},
         {"@/a.wav", "@/./a.wav"}},
        {"a batch whose folder links to an input",
         [](const ScratchFolder& f) { ASSERT_EQ(::symlink("../b.wav", f.Path("sub/b.wav").c_str()), 0); },
         {"@/a.wav", "@/b.wav", "-o", "@/sub"},
         {"@/b.wav", "@/sub/b.wav"}},
        {"two outputs linked to one new file",
         [](const ScratchFolder& f) {
             ASSERT_EQ(::symlink("x.wav", f.Path("sub/a.wav").c_str()), 0);
             ASSERT_EQ(::symlink(f.Path("sub/x.wav").c_str(), f.Path("sub/b.wav").c_str()), 0);
         },
         {"-j", "1", "@/a.wav", "@/b.wav", "-o", "@/sub"},
         {"@/sub/a.wav", "@/sub/b.wav"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchFolder folder;
        const std::string root = folder.Path("");
        auto expand = [&root](std::string text) {
            return text.rfind("@/", 0) == 0 ? root + text.substr(2) : text;
        };
        test::WriteSound(folder.Path("a.wav"), test::Music(44100, 2, 0.3, 1),
                         SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        test::WriteSound(folder.Path("b.wav"), test::Music(44100, 1, 0.3, 2),
                         SF_FORMAT_WAV | SF_FORMAT_PCM_24);
        ASSERT_EQ(::mkdir(folder.Path("sub").c_str(), 0755), 0);
        if (c.prepare) {
            c.prepare(folder);
        }
        const std::map<std::string, std::string> before = Snapshot(root);
        std::vector<std::string> arguments;
        for (const std::string& argument : c.arguments) {
            arguments.push_back(expand(argument));
        }

        ProgramRun run = RunRender(arguments);

        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_THAT(run.err, AllOf(HasSubstr(expand(c.named[0])), HasSubstr(expand(c.named[1]))));
        EXPECT_THAT(run.out, IsEmpty());
        EXPECT_EQ(Snapshot(root), before) << "nothing written, nothing left behind";
    }
}

// Four files long enough to be caught in the middle: 10 s out of 1 s each.
class RenderBatchSafety : public ::testing::Test {
protected:
    std::string In(const std::string& name) const { return inputs.Path(name); }
    std::string Out(const std::string& name) const { return outputs.Path(name); }

    std::vector<std::string> WriteInputs(int count, double seconds)
    {
        std::vector<std::string> paths;
        for (int i = 0; i < count; ++i) {
            std::string name = "f";
            name += std::to_string(i);
            paths.push_back(In(name + ".wav"));
            test::WriteSound(paths.back(), test::Music(44100, 2, seconds, static_cast<std::uint32_t>(i)),
                             SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        }
        return paths;
    }

    ScratchFolder inputs;
    ScratchFolder outputs;
};

TEST_F(RenderBatchSafety, NoClobberKeepsWhatExistsAndRendersTheRest)
{
    std::vector<std::string> command = {"-n", "--pitch", "2", "-o", Out("")};
    std::vector<std::string> paths = WriteInputs(3, 0.2);
    command.insert(command.end(), paths.begin(), paths.end());
    std::ofstream(Out("f1.wav")) << "an earlier result";

    ProgramRun run = RunRender(command);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr(In("f1.wav") + " -> " + Out("f1.wav") + ": skipped, the output exists\n"));
    EXPECT_THAT(run.out, HasSubstr("3 files: 2 done, 1 skipped, 0 refused, 0 failed\n"));
    EXPECT_EQ(TextOf(Out("f1.wav")), "an earlier result");
    EXPECT_EQ(test::ReadSound(Out("f2.wav")).Frames(), 8820);

    // Once more: nothing is rendered again, nothing replaced.
    const ino_t rendered = InodeOf(Out("f0.wav"));
    ProgramRun again = RunRender(command);
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_THAT(again.out, HasSubstr("3 files: 0 done, 3 skipped, 0 refused, 0 failed\n"));
    EXPECT_EQ(InodeOf(Out("f0.wav")), rendered);

    // One file: kept with -n, replaced without.
    ProgramRun kept = RunRender({"--no-clobber", In("f0.wav"), Out("f1.wav")});
    EXPECT_EQ(kept.exitCode, 0) << kept.err;
    EXPECT_THAT(kept.out, HasSubstr(": skipped, the output exists"));
    EXPECT_EQ(TextOf(Out("f1.wav")), "an earlier result");
    ProgramRun replaced = RunRender({"--quiet", In("f0.wav"), Out("f1.wav")});
    EXPECT_EQ(replaced.exitCode, 0) << replaced.err;
    EXPECT_EQ(test::ReadSound(Out("f1.wav")).Frames(), 8820);
    EXPECT_THAT(outputs.Names(), ElementsAre("f0.wav", "f1.wav", "f2.wav"));
}

TEST_F(RenderBatchSafety, AnInterruptedBatchLeavesOnlyWholeFilesAndNoClobberFinishesIt)
{
    std::vector<std::string> paths = WriteInputs(4, 1.0);
    std::vector<std::string> command = {"--speed", "10", "-j", "2", "-o", Out("")};
    command.insert(command.end(), paths.begin(), paths.end());
    pid_t child = test::StartRender(command);
    ASSERT_GT(child, 0);

    // Interrupt once the workers' temporary files are there.
    bool started = false;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!started && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        started = !HiddenNames(Out("")).empty();
    }
    EXPECT_TRUE(started) << "no temporary file appeared within 60 s";
    ::kill(child, SIGINT);
    ProgramRun run = test::WaitFor(child);
    EXPECT_EQ(run.signal, SIGINT) << "exit status " << run.exitCode;
    EXPECT_THAT(HiddenNames(Out("")), IsEmpty());
    const std::vector<std::string> whole = outputs.Names();
    EXPECT_LT(whole.size(), 4u) << "interrupted before the end";
    for (const std::string& name : whole) {
        EXPECT_EQ(test::ReadSound(Out(name)).Frames(), 441000) << name;
    }

    command.insert(command.begin(), "-n");
    ProgramRun finish = RunRender(command);
    ASSERT_EQ(finish.exitCode, 0) << finish.err;
    EXPECT_THAT(finish.out, HasSubstr("4 files: " + std::to_string(4 - whole.size()) + " done"));
    EXPECT_THAT(outputs.Names(), ElementsAre("f0.wav", "f1.wav", "f2.wav", "f3.wav"));
}

TEST(RenderSafety, AnOutputThatIsALinkIsWrittenThroughAndStaysALink)
{
    struct Case {
        const char* what;
        std::string link;
        std::string target;  // as the link holds it
        std::string landing;
        bool targetExists;
    };
    ScratchFolder folder;
    ASSERT_EQ(::mkdir(folder.Path("keep").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(folder.Path("links").c_str(), 0755), 0);
    const std::vector<Case> cases = {
        {"to a file in another folder", "links/one.wav", "../keep/one.wav", "keep/one.wav", true},
        {"to a file not made yet", "links/two.wav", folder.Path("keep/two.wav"), "keep/two.wav", false},
        {"through a second link", "links/three.wav", "one.wav", "keep/one.wav", true},
    };
    test::WriteSound(folder.Path("in.wav"), test::Music(44100, 1, 0.2, 3), SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.targetExists) {
            std::ofstream(folder.Path(c.landing)) << "an earlier result";
            ASSERT_EQ(::chmod(folder.Path(c.landing).c_str(), 0640), 0);
        }
        ASSERT_EQ(::symlink(c.target.c_str(), folder.Path(c.link).c_str()), 0);

        ProgramRun run = RunRender({"--quiet", "--speed", "200", folder.Path("in.wav"), folder.Path(c.link)});

        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_TRUE(fs::is_symlink(folder.Path(c.link)));
        EXPECT_EQ(fs::read_symlink(folder.Path(c.link)).string(), c.target);
        EXPECT_EQ(test::ReadSound(folder.Path(c.landing)).Frames(), 4410);
        const fs::perms mode = fs::status(folder.Path(c.landing)).permissions();
        if (c.targetExists) {
            EXPECT_EQ(mode, fs::perms(0640)) << "the replaced file's mode is kept";
        }
        EXPECT_THAT(HiddenNames(folder.Path("")), IsEmpty());
    }
}

// A WAV or AIFF file whose header promises more than it holds: the data
// chunk is cut `missing` frames short, as a recording that stopped is.
struct CutCase {
    const char* name;
    int libraryFormat;
    int bytesPerFrame;
};

TEST(RenderSafety, AFileCutShortRendersAsFarAsItGoesAndSaysHowMuchIsMissing)
{
    const std::vector<CutCase> cases = {
        {"cut-wave.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 4},
        {"cut-aiff.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 6},
        {"cut-rf64.rf64", SF_FORMAT_RF64 | SF_FORMAT_FLOAT, 8},
    };
    constexpr std::int64_t kDeclared = 22050;
    constexpr std::int64_t kHeld = 2205;
    ScratchFolder folder;
    std::vector<std::string> batch = {"-o", folder.Path("batch")};
    for (const CutCase& c : cases) {
        test::WriteSound(folder.Path(c.name), test::Music(44100, 2, 0.5, 7), c.libraryFormat);
        std::vector<std::uint8_t> bytes = test::ReadBytes(folder.Path(c.name));
        bytes.resize(bytes.size() - static_cast<std::size_t>((kDeclared - kHeld) * c.bytesPerFrame));
        std::ofstream(folder.Path(c.name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        batch.push_back(folder.Path(c.name));
    }
    const std::string missing = ": warning: input ends early: " + std::to_string(kHeld) + " of " +
                                std::to_string(kDeclared) + " frames\n";
    for (const CutCase& c : cases) {
        SCOPED_TRACE(c.name);
        ProgramRun run = RunRender({folder.Path(c.name), folder.Path("out.wav")});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.err, "kelvane-render: " + folder.Path(c.name) + missing);
        EXPECT_EQ(test::ReadSound(folder.Path("out.wav")).Frames(), kHeld);
    }
    ProgramRun run = RunRender(batch);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    for (const CutCase& c : cases) {
        EXPECT_THAT(run.err, HasSubstr("kelvane-render: " + folder.Path(c.name) + missing)) << c.name;
    }
}

}  // namespace
}  // namespace kelvane::render
