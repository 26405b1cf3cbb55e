// The sound-file writer: every container and depth read back by libsndfile
// with the rate, channels, length and samples written; rounding and clipping
// done here rather than by the library; the container chosen by name and by
// length; and the temporary file that only replaces the target when complete.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <random>

#include "render_test_support.h"
#include "sound_files/sound_file_writer.h"

namespace kelvane::sound_files {
namespace {

using render::test::ScratchFolder;
using render::test::Sound;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string ReadText(const std::string& path)
{
    std::vector<std::uint8_t> bytes = render::test::ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

std::vector<std::int32_t> Quantise(const std::vector<float>& samples, SampleFormat format, std::uint64_t& clipped)
{
    std::vector<std::int32_t> out(samples.size());
    QuantiseSamples(samples.data(), samples.size(), format, out.data(), clipped);
    return out;
}

class SoundFileWriterTest : public ::testing::Test {
protected:
    ScratchFolder folder;
};

TEST_F(SoundFileWriterTest, EveryContainerAndDepthReadsBackWithItsRateChannelsLengthAndSamples)
{
    struct Case {
        Container container;
        SampleFormat sampleFormat;
        int sampleRate;
        int channels;
        int libraryFormat;  // what libsndfile must find in the file
    };
    const Case cases[] = {
        {Container::Wav, SampleFormat::Pcm16, 44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16},
        {Container::Wav, SampleFormat::Pcm24, 32000, 3, SF_FORMAT_WAV | SF_FORMAT_PCM_24},
        {Container::Wav, SampleFormat::Float32, 196000, 8, SF_FORMAT_WAV | SF_FORMAT_FLOAT},
        {Container::Rf64, SampleFormat::Pcm24, 48000, 2, SF_FORMAT_RF64 | SF_FORMAT_PCM_24},
        {Container::W64, SampleFormat::Pcm16, 44100, 1, SF_FORMAT_W64 | SF_FORMAT_PCM_16},
        {Container::W64, SampleFormat::Float32, 88200, 2, SF_FORMAT_W64 | SF_FORMAT_FLOAT},
        {Container::Aiff, SampleFormat::Pcm16, 44100, 2, SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
        {Container::Aiff, SampleFormat::Pcm24, 96000, 1, SF_FORMAT_AIFF | SF_FORMAT_PCM_24},
        {Container::Aiff, SampleFormat::Float32, 44100, 2, SF_FORMAT_AIFF | SF_FORMAT_FLOAT},
        {Container::Flac, SampleFormat::Pcm16, 44100, 2, SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
        {Container::Flac, SampleFormat::Pcm24, 192000, 6, SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
        {Container::OggVorbis, SampleFormat::Pcm16, 48000, 2, SF_FORMAT_OGG | SF_FORMAT_VORBIS},
    };
    for (const Case& c : cases) {
        const OutputFormat format{c.container, c.sampleRate, c.channels, c.sampleFormat};
        SCOPED_TRACE(DescribeOutputFormat(format) + ", " + std::to_string(c.channels) + " channels");
        Sound music = render::test::Music(c.sampleRate, c.channels, 0.2, 21);
        music.samples = render::test::OnGrid(music.samples, c.sampleFormat);
        const std::string path = folder.Path(std::string("out") + ContainerExtension(c.container));

        // Written in three blocks of uneven sizes.
        SoundFileWriter writer;
        ASSERT_TRUE(writer.Open(path, format)) << writer.Error();
        const std::size_t frames = static_cast<std::size_t>(music.Frames());
        const std::size_t stride = static_cast<std::size_t>(c.channels);
        for (auto [first, count] : {std::pair{std::size_t{0}, std::size_t{1}}, {1, 999}, {1000, frames - 1000}}) {
            ASSERT_TRUE(writer.Write(music.samples.data() + first * stride, count)) << writer.Error();
        }
        EXPECT_EQ(writer.FramesWritten(), frames);
        ASSERT_TRUE(writer.Commit()) << writer.Error();
        EXPECT_EQ(writer.ClippedSamples(), 0u);

        const Sound read = render::test::ReadSound(path);
        EXPECT_EQ(read.libraryFormat, c.libraryFormat);
        EXPECT_EQ(read.sampleRate, c.sampleRate);
        EXPECT_EQ(read.channels, c.channels);
        ASSERT_EQ(read.Frames(), music.Frames());
        if (c.container != Container::OggVorbis) {
            EXPECT_EQ(read.samples, music.samples) << "lossless containers keep every sample";
        } else {
            const std::int64_t quarter = read.Frames() / 4;
            for (int channel = 0; channel < c.channels; ++channel) {
                EXPECT_NEAR(render::test::Rms(read, channel, quarter, 2 * quarter),
                            render::test::Rms(music, channel, quarter, 2 * quarter), 0.01);
            }
        }
    }
}

TEST(SoundFileSamples, IntegersRoundToTheNearestStepAndEveryClipIsCounted)
{
    // libsndfile takes integers in the top bits of an int32.
    std::uint64_t clipped = 0;
    EXPECT_THAT(Quantise({1.4f / 32768, 1.6f / 32768, -1.6f / 32768, -1.0f, 32767.0f / 32768}, SampleFormat::Pcm16,
                         clipped),
                ElementsAre(1 << 16, 2 << 16, -2 * 65536, -32768 * 65536, 32767 * 65536));
    EXPECT_EQ(clipped, 0u);
    const float infinity = std::numeric_limits<float>::infinity();
    EXPECT_THAT(Quantise({1.0f, -1.5f, infinity, std::nanf("")}, SampleFormat::Pcm16, clipped),
                ElementsAre(32767 * 65536, -32768 * 65536, 32767 * 65536, 0));
    EXPECT_EQ(clipped, 4u);

    clipped = 0;
    EXPECT_THAT(Quantise({-1.0f, 0.5f, -0.6f / 8388608, 1.0f}, SampleFormat::Pcm24, clipped),
                ElementsAre(-8388608 * 256, 4194304 * 256, -256, 8388607 * 256));
    EXPECT_EQ(clipped, 1u);
}

TEST(SoundFileSamples, EveryHalfStepAtEitherDepthRoundsToEvenAsNearbyintDoes)
{
    // The samples where rounding can go wrong: every half step and its
    // neighbours one float step away, across the whole range and past its
    // ends, at both depths, random samples around full scale, and NaN and
    // values far beyond; each checked against the plain rule (nearest step,
    // halves to even, clipped, NaN as 0).
    struct Depth {
        SampleFormat format;
        double steps;  // per unit of full scale
        int shift;     // where libsndfile takes the integer
    };
    std::mt19937 random(3);
    std::uniform_real_distribution<float> around(-1.2f, 1.2f);
    for (const Depth depth : {Depth{SampleFormat::Pcm16, 32768.0, 16}, Depth{SampleFormat::Pcm24, 8388608.0, 8}}) {
        std::vector<float> samples;
        const int stride = depth.format == SampleFormat::Pcm16 ? 1 : 97;
        for (double step = -depth.steps - 4.5; step <= depth.steps + 4.5; step += stride) {
            const auto half = static_cast<float>((std::floor(step) + 0.5) / depth.steps);
            samples.insert(samples.end(), {half, std::nextafter(half, -2.0f), std::nextafter(half, 2.0f)});
        }
        for (int i = 0; i < 100000; ++i) {
            samples.push_back(around(random));
        }
        // What no sound should hold, among ordinary samples at every place
        // of a group of four.
        const float infinity = std::numeric_limits<float>::infinity();
        for (const float odd : {std::nanf(""), infinity, -infinity, 7e4f, -7e4f, 300.0f, -3e9f, 3e9f}) {
            samples.insert(samples.end(), {odd, 0.25f, odd, odd, -0.5f});
        }
        std::uint64_t clipped = 0;
        const std::vector<std::int32_t> got = Quantise(samples, depth.format, clipped);
        std::uint64_t expectedClipped = 0;
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const double nearest = std::nearbyint(static_cast<double>(samples[i]) * depth.steps);
            const double kept = std::isnan(nearest) ? 0.0 : std::clamp(nearest, -depth.steps, depth.steps - 1.0);
            expectedClipped += kept != nearest;
            const auto expected = static_cast<std::int32_t>(static_cast<std::uint32_t>(
                                                                static_cast<std::int32_t>(kept))
                                                            << depth.shift);
            ASSERT_EQ(got[i], expected) << "sample " << samples[i] << " at " << depth.steps << " steps";
        }
        EXPECT_EQ(clipped, expectedClipped);
        EXPECT_GT(clipped, 0u);
    }
}

TEST_F(SoundFileWriterTest, SamplesBeyondFullScaleAreClippedNotWrappedAndFloatKeepsThem)
{
    // libsndfile left to itself wraps 1.5 round to a negative sample.
    const std::vector<float> loud = {0.5f, 1.5f, -1.5f, -0.25f};
    for (Container container : {Container::Wav, Container::Flac, Container::Aiff}) {
        SoundFileWriter writer;
        const std::string path = folder.Path(std::string("loud") + ContainerExtension(container));
        ASSERT_TRUE(writer.Open(path, {container, 44100, 1, SampleFormat::Pcm16})) << writer.Error();
        ASSERT_TRUE(writer.Write(loud.data(), loud.size()));
        ASSERT_TRUE(writer.Commit());
        EXPECT_EQ(writer.ClippedSamples(), 2u);
        EXPECT_THAT(render::test::ReadSound(path).samples, ElementsAre(0.5f, 32767.0f / 32768, -1.0f, -0.25f))
            << ContainerName(container);
    }
    SoundFileWriter writer;
    ASSERT_TRUE(writer.Open(folder.Path("loud.w64"), {Container::W64, 44100, 1, SampleFormat::Float32}));
    ASSERT_TRUE(writer.Write(loud.data(), loud.size()));
    ASSERT_TRUE(writer.Commit());
    EXPECT_EQ(writer.ClippedSamples(), 0u);
    EXPECT_EQ(render::test::ReadSound(folder.Path("loud.w64")).samples, loud);
}

TEST(SoundFileContainers, WavTurnsRf64PastFourGibibytesWhereAiffHasNoLargerForm)
{
    // 4 GiB of 16-bit stereo is a little over 2^30 frames, less the header.
    const OutputFormat wav{Container::Wav, 44100, 2, SampleFormat::Pcm16};
    const std::uint64_t limit = MaxFrames(wav);
    EXPECT_GT(limit, (std::uint64_t{1} << 30) - 65536);
    EXPECT_LE(limit * 4, 0xFFFFFFFFull - 44);
    EXPECT_EQ(ContainerForLength(wav, limit), Container::Wav);
    EXPECT_EQ(ContainerForLength(wav, limit + 1), Container::Rf64);
    EXPECT_EQ(MaxFrames({Container::Aiff, 44100, 8, SampleFormat::Float32}), limit / 8);
    const OutputFormat aiff{Container::Aiff, 44100, 2, SampleFormat::Pcm16};
    EXPECT_EQ(ContainerForLength(aiff, limit + 1), Container::Aiff) << "AIFF has no 64-bit form";
    for (Container unlimited : {Container::Rf64, Container::W64, Container::Flac, Container::OggVorbis}) {
        EXPECT_EQ(MaxFrames({unlimited, 44100, 2, SampleFormat::Pcm16}), std::numeric_limits<std::uint64_t>::max());
    }
}

TEST_F(SoundFileWriterTest, NothingAppearsUntilCommitAndAFailedOrAbandonedFileLeavesNoTrace)
{
    const std::string target = folder.Path("out.flac");
    std::ofstream(target) << "the old file";
    float samples[64] = {};
    {
        SoundFileWriter writer;
        ASSERT_TRUE(writer.Open(target, {Container::Flac, 44100, 1, SampleFormat::Pcm16})) << writer.Error();
        ASSERT_TRUE(writer.Write(samples, 64));
        EXPECT_EQ(folder.Names().size(), 2u);  // the target and the temporary file
        EXPECT_EQ(ReadText(target), "the old file");
        // Going out of scope uncommitted abandons it.
    }
    EXPECT_THAT(folder.Names(), ElementsAre("out.flac"));

    SoundFileWriter writer;
    const OutputFormat wav{Container::Wav, 44100, 1, SampleFormat::Pcm16};
    ASSERT_TRUE(writer.Open(folder.Path("out.wav"), wav));
    // Refused on the count alone, before a byte is read from the samples.
    EXPECT_FALSE(writer.Write(samples, MaxFrames(wav) + 1));
    EXPECT_THAT(writer.Error(), HasSubstr("a WAV file cannot exceed 4 GiB"));
    EXPECT_FALSE(writer.Commit());

    // What a container cannot hold is refused at Open.
    EXPECT_FALSE(writer.Open(target, {Container::Flac, 44100, 1, SampleFormat::Float32}));
    EXPECT_EQ(writer.Error(), "cannot write " + target + ": FLAC cannot hold 32-bit float");
    EXPECT_FALSE(writer.Open(folder.Path("missing/out.wav"), wav));
    EXPECT_THAT(writer.Error(), HasSubstr("No such file or directory"));
    EXPECT_THAT(folder.Names(), ElementsAre("out.flac"));
    EXPECT_EQ(ReadText(target), "the old file");

    ASSERT_TRUE(writer.Open(target, {Container::Flac, 44100, 1, SampleFormat::Pcm16}));
    ASSERT_TRUE(writer.Write(samples, 10));
    ASSERT_TRUE(writer.Commit()) << writer.Error();
    EXPECT_THAT(folder.Names(), ElementsAre("out.flac"));
    EXPECT_EQ(render::test::ReadSound(target).Frames(), 10);
}

TEST_F(SoundFileWriterTest, NewFilesGetTheUsualModeAndReplacedFilesKeepTheirs)
{
    // The temporary file starts private; the result must not stay so.
    const mode_t mask = ::umask(022);
    const OutputFormat format{Container::Wav, 44100, 1, SampleFormat::Pcm16};
    SoundFileWriter writer;
    ASSERT_TRUE(writer.Open(folder.Path("new.wav"), format));
    ASSERT_TRUE(writer.Commit());
    std::ofstream(folder.Path("old.wav")) << "x";
    ASSERT_EQ(::chmod(folder.Path("old.wav").c_str(), 0640), 0);
    ASSERT_TRUE(writer.Open(folder.Path("old.wav"), format));
    ASSERT_TRUE(writer.Commit());
    ::umask(mask);

    struct stat info;
    ASSERT_EQ(::stat(folder.Path("new.wav").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    ASSERT_EQ(::stat(folder.Path("old.wav").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

}  // namespace
}  // namespace kelvane::sound_files
