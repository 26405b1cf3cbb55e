// The renderer's WAV writer: header fields, sample rounding and clipping,
// files the project's loader reads back exactly, and the temporary file that
// only replaces the target when complete.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <fstream>
#include <limits>

#include "render_test_support.h"
#include "wav_writer.h"

namespace kelvane::render {
namespace {

using test::ScratchFolder;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

std::uint32_t U32At(const std::vector<std::uint8_t>& bytes, std::size_t at)
{
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
           static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

std::uint16_t U16At(const std::vector<std::uint8_t>& bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

std::vector<std::uint8_t> Encode(std::vector<float> samples, SampleFormat format, std::uint64_t& clipped)
{
    std::vector<std::uint8_t> out(samples.size() * BytesPerSample(format));
    EncodeSamples(samples.data(), samples.size(), format, out.data(), clipped);
    return out;
}

std::string ReadText(const std::string& path)
{
    std::vector<std::uint8_t> bytes = test::ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

TEST(WavHeader, HoldsTheFormatAndSizesWithTagThreeAndAFactChunkForFloat)
{
    std::vector<std::uint8_t> pcm = MakeWavHeader({48000, 2, SampleFormat::Pcm24}, 1000);
    ASSERT_EQ(pcm.size(), 44u);
    EXPECT_EQ(std::string(pcm.begin(), pcm.begin() + 16), std::string("RIFF\x94\x17\0\0WAVEfmt ", 16));
    EXPECT_EQ(U32At(pcm, 16), 16u);
    EXPECT_EQ(U16At(pcm, 20), 1);  // PCM
    EXPECT_EQ(U16At(pcm, 22), 2);
    EXPECT_EQ(U32At(pcm, 24), 48000u);
    EXPECT_EQ(U32At(pcm, 28), 48000u * 6);  // bytes per second
    EXPECT_EQ(U16At(pcm, 32), 6);           // block align
    EXPECT_EQ(U16At(pcm, 34), 24);
    EXPECT_EQ(std::string(pcm.begin() + 36, pcm.begin() + 40), "data");
    EXPECT_EQ(U32At(pcm, 40), 6000u);

    std::vector<std::uint8_t> real = MakeWavHeader({44100, 1, SampleFormat::Float32}, 7);
    ASSERT_EQ(real.size(), 58u);
    EXPECT_EQ(U32At(real, 4), 50u + 28u);
    EXPECT_EQ(U32At(real, 16), 18u);
    EXPECT_EQ(U16At(real, 20), 3);
    EXPECT_EQ(U16At(real, 36), 0);  // no extra format bytes
    EXPECT_EQ(std::string(real.begin() + 38, real.begin() + 42), "fact");
    EXPECT_EQ(U32At(real, 46), 7u);  // frames
    EXPECT_EQ(U32At(real, 54), 28u);

    // The 32-bit RIFF size counts the header after it and a pad byte.
    EXPECT_EQ(MaxWavFrames({44100, 2, SampleFormat::Pcm16}), (0xFFFFFFFFull - 36 - 1) / 4);
    EXPECT_EQ(MaxWavFrames({44100, 8, SampleFormat::Float32}), (0xFFFFFFFFull - 50 - 1) / 32);
}

TEST(WavSamples, PcmRoundsToTheNearestStepAndCountsEveryClipFloatIsKeptAsItIs)
{
    std::uint64_t clipped = 0;
    const float infinity = std::numeric_limits<float>::infinity();
    EXPECT_THAT(Encode({1.4f / 32768, 1.6f / 32768, -1.6f / 32768, -1.0f, 32767.0f / 32768},
                       SampleFormat::Pcm16, clipped),
                ElementsAre(1, 0, 2, 0, 0xFE, 0xFF, 0x00, 0x80, 0xFF, 0x7F));
    EXPECT_EQ(clipped, 0u);
    EXPECT_THAT(Encode({1.0f, -1.5f, infinity, std::nanf("")}, SampleFormat::Pcm16, clipped),
                ElementsAre(0xFF, 0x7F, 0x00, 0x80, 0xFF, 0x7F, 0, 0));
    EXPECT_EQ(clipped, 4u);

    clipped = 0;
    EXPECT_THAT(Encode({-1.0f, 0.5f, -0.6f / 8388608, 1.0f}, SampleFormat::Pcm24, clipped),
                ElementsAre(0x00, 0x00, 0x80, 0x00, 0x00, 0x40, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F));
    EXPECT_EQ(clipped, 1u);

    clipped = 0;
    EXPECT_THAT(Encode({1.0f, -2.5f}, SampleFormat::Float32, clipped),
                ElementsAre(0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x20, 0xC0));
    EXPECT_EQ(clipped, 0u);
}

class WavFileTest : public ::testing::Test {
protected:
    ScratchFolder folder;
};

TEST_F(WavFileTest, TheProjectsLoaderReadsBackExactlyWhatWasWrittenOddSizesPadded)
{
    for (SampleFormat format : {SampleFormat::Pcm16, SampleFormat::Pcm24}) {
        test::Sound sound = test::Music(44100, 3, 0.05, 7);
        sound.samples = test::OnGrid(sound.samples, format);
        test::WriteWave(folder.Path("grid.wav"), sound, format);
        test::Sound read = test::ReadWave(folder.Path("grid.wav"));
        EXPECT_EQ(read.sampleRate, 44100);
        EXPECT_EQ(read.channels, 3);
        EXPECT_EQ(read.bitsPerSample, BytesPerSample(format) * 8);
        EXPECT_THAT(read.samples, ElementsAreArray(sound.samples)) << DescribeSampleFormat(format);
    }

    test::Sound odd;
    odd.channels = 1;
    odd.samples = {0.25f, -0.25f, 0.5f};
    test::WriteWave(folder.Path("odd.wav"), odd, SampleFormat::Pcm24);
    std::vector<std::uint8_t> bytes = test::ReadBytes(folder.Path("odd.wav"));
    ASSERT_EQ(bytes.size(), 44u + 9u + 1u);
    EXPECT_EQ(U32At(bytes, 4), bytes.size() - 8);
    EXPECT_THAT(test::ReadWave(folder.Path("odd.wav")).samples, ElementsAre(0.25f, -0.25f, 0.5f));
}

TEST_F(WavFileTest, NothingAppearsUntilCommitAndAnAbandonedFileLeavesNoTrace)
{
    const std::string target = folder.Path("out.wav");
    std::ofstream(target) << "the old file";
    float samples[64] = {};
    {
        WavFileWriter writer;
        ASSERT_TRUE(writer.Open(target, {44100, 1, SampleFormat::Pcm16})) << writer.Error();
        ASSERT_TRUE(writer.Write(samples, 64));
        EXPECT_EQ(folder.Names().size(), 2u);  // the target and the temporary file
        EXPECT_EQ(ReadText(target), "the old file");
        // Going out of scope uncommitted abandons it.
    }
    EXPECT_THAT(folder.Names(), ElementsAre("out.wav"));
    EXPECT_EQ(ReadText(target), "the old file");

    WavFileWriter writer;
    ASSERT_TRUE(writer.Open(target, {44100, 1, SampleFormat::Pcm16}));
    // Refused on the count alone, before a byte is read from the samples.
    EXPECT_FALSE(writer.Write(samples, MaxWavFrames({44100, 1, SampleFormat::Pcm16}) + 1));
    EXPECT_THAT(writer.Error(), HasSubstr("4 GiB"));
    EXPECT_FALSE(writer.Commit());
    EXPECT_EQ(ReadText(target), "the old file");

    ASSERT_TRUE(writer.Open(target, {44100, 1, SampleFormat::Pcm16}));
    ASSERT_TRUE(writer.Write(samples, 10));
    ASSERT_TRUE(writer.Commit()) << writer.Error();
    EXPECT_THAT(folder.Names(), ElementsAre("out.wav"));
    EXPECT_EQ(test::ReadBytes(target).size(), 44u + 20u);
}

TEST_F(WavFileTest, NewFilesGetTheUsualModeAndReplacedFilesKeepTheirs)
{
    // The temporary file starts private; the result must not stay so.
    const mode_t mask = ::umask(022);
    WavFileWriter writer;
    ASSERT_TRUE(writer.Open(folder.Path("new.wav"), {44100, 1, SampleFormat::Pcm16}));
    ASSERT_TRUE(writer.Commit());
    std::ofstream(folder.Path("old.wav")) << "x";
    ASSERT_EQ(::chmod(folder.Path("old.wav").c_str(), 0640), 0);
    ASSERT_TRUE(writer.Open(folder.Path("old.wav"), {44100, 1, SampleFormat::Pcm16}));
    ASSERT_TRUE(writer.Commit());
    ::umask(mask);

    struct stat info;
    ASSERT_EQ(::stat(folder.Path("new.wav").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    ASSERT_EQ(::stat(folder.Path("old.wav").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

}  // namespace
}  // namespace kelvane::render
