// Conversions and the order of the format checks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>

#include "load_fixture.h"

namespace kelvane::playback::test {
namespace {

using ::testing::ElementsAre;

TEST(LoadResultText, IsExactlyOneOfTheFiveMessages)
{
    EXPECT_STREQ(GetLoadResultText(LoadResult::AppearsEmpty), "Wave file appears to be empty");
    EXPECT_STREQ(GetLoadResultText(LoadResult::FailedToLoad), "Wave file failed to load, please try another");
    EXPECT_STREQ(GetLoadResultText(LoadResult::NotUncompressedPcm),
                 "Wave file needs to be an uncompressed PCM");
    EXPECT_STREQ(GetLoadResultText(LoadResult::SampleRateTooLow), "Sample rate too low!");
    EXPECT_STREQ(GetLoadResultText(LoadResult::UnsupportedBitDepth), "Only accepts 8/16/24 bit files");
    EXPECT_STREQ(GetLoadResultText(LoadResult::Loaded), "");
}

using Conversion = LoadTest;

TEST_P(Conversion, ExtremesOfEachDepth)
{
    ASSERT_EQ(Load(Wave(1, 2, 44100, 16, Samples({-32768, 32767, 0, 1, -1, 16384}, 2))), LoadResult::Loaded);
    EXPECT_EQ(sound.frameCount, 3);     // D / 4
    EXPECT_EQ(sound.sampleBytes, 24u);  // 2 x D
    EXPECT_EQ(sound.format.sampleRate, 44100u);
    // The sound the player takes repeats the format's channels and rate.
    EXPECT_EQ(sound.sampleRate, 44100u);
    EXPECT_EQ(sound.channels, 2);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(sound.samples.data()) % 16, 0u);
    EXPECT_THAT(FramesOf(sound), ElementsAre(-1.0f, 0.999969482421875f, 0.0f, 0x1p-15f, -0x1p-15f, 0.5f));

    ASSERT_EQ(Load(Wave(1, 1, 48000, 8, Bytes{128, 0, 255, 192})), LoadResult::Loaded);
    EXPECT_EQ(sound.sampleBytes, 16u);  // 4 x D
    EXPECT_THAT(FramesOf(sound), ElementsAre(0.0f, -1.0f, 0.9921875f, 0.5f));

    ASSERT_EQ(Load(Wave(1, 2, 96000, 24, Samples({0x800000, 0x7FFFFF, 0x000001, 0xFFFFFF}, 3))),
              LoadResult::Loaded);
    EXPECT_EQ(sound.sampleBytes, 16u);  // 4 x D / 3
    EXPECT_THAT(FramesOf(sound), ElementsAre(-1.0f, 1.0f - 0x1p-23f, 0x1p-23f, -0x1p-23f));
}

// Minutes of sound: converted a block at a time into memory of another kind
// (mapped, in large pages) than a short sound's. Every sample must come out
// right across the block edges, and the memory past the last whole frame
// must be zero.
TEST_P(Conversion, EverySampleOfALongSound)
{
    for (const int width : {1, 2, 3}) {
        SCOPED_TRACE(width * 8);
        const std::size_t count = 4500001;  // stereo: the last sample is half a frame
        const std::int64_t range = std::int64_t{1} << (8 * width);
        Bytes data;
        data.reserve(count * width);
        for (std::size_t i = 0; i < count; ++i) {
            AppendLe(data, (i * 2654435761u) % static_cast<std::uint64_t>(range), width);
        }
        ASSERT_EQ(Load(Wave(1, 2, 44100, static_cast<std::uint16_t>(8 * width), data)), LoadResult::Loaded);
        ASSERT_EQ(sound.frameCount, static_cast<std::int32_t>(count / 2));
        const float* samples = sound.samples.data();
        std::size_t mismatches = 0;
        for (std::size_t i = 0; i < count - 1; ++i) {
            const std::int64_t raw =
                static_cast<std::int64_t>((i * 2654435761u) % static_cast<std::uint64_t>(range));
            const std::int64_t value = width == 1 ? raw - 128 : (raw >= range / 2 ? raw - range : raw);
            mismatches += samples[i] != static_cast<float>(value) / static_cast<float>(range / 2);
        }
        EXPECT_EQ(mismatches, 0u);
        EXPECT_EQ(samples[count - 1], 0.0f);
    }
}

TEST_P(Conversion, PartialFrameIsLeftOut)
{
    // 10 bytes of 16-bit stereo: two whole frames and one lone sample.
    ASSERT_EQ(Load(Wave(1, 2, 44100, 16, Samples({100, 200, 300, 400, 32767}, 2))), LoadResult::Loaded);
    EXPECT_EQ(sound.frameCount, 2);
    ASSERT_EQ(sound.sampleBytes, 20u);
    EXPECT_EQ(sound.samples.data()[3], 400 * 0x1p-15f);
    EXPECT_EQ(sound.samples.data()[4], 0.0f);
}

TEST_P(Conversion, RateBitsAndTagChecks)
{
    const Bytes data = Samples({1, 2}, 2);
    EXPECT_EQ(Load(Wave(1, 2, 32000, 16, data)), LoadResult::SampleRateTooLow);
    EXPECT_EQ(Load(Wave(1, 2, 35999, 16, data)), LoadResult::SampleRateTooLow);
    EXPECT_EQ(Load(Wave(1, 2, 36000, 16, data)), LoadResult::Loaded);
    EXPECT_EQ(Load(Wave(1, 2, 384000, 16, data)), LoadResult::Loaded);  // the engine sets the upper limit
    for (const std::uint16_t bits : {32, 0, 12, 64}) {
        EXPECT_EQ(Load(Wave(1, 1, 44100, bits, Bytes(64))), LoadResult::UnsupportedBitDepth) << bits;
    }
    // Float with an 18-byte and with a 16-byte format block.
    EXPECT_EQ(Load(Riff({Chunk("fmt ", FormatBody(3, 2, 44100, 32, Bytes(2))), Chunk("data", Bytes(16))})),
              LoadResult::NotUncompressedPcm);
    EXPECT_EQ(Load(Wave(3, 2, 44100, 32, Bytes(16))), LoadResult::NotUncompressedPcm);
    // Extensible, holding 16-bit PCM: valid bits, channel mask, PCM sub-format.
    Bytes extensible = Samples({22, 16, 3, 0}, 2);
    Append(extensible, Bytes{1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71});
    EXPECT_EQ(
        Load(Riff({Chunk("fmt ", FormatBody(0xFFFE, 2, 44100, 16, extensible)), Chunk("data", Bytes(16))})),
        LoadResult::NotUncompressedPcm);
    EXPECT_EQ(sound.format.extraFormatSize, 22);
    ExpectHoldsNothing(sound);
}

TEST_P(Conversion, ChecksComeInOrderReadTagRateBits)
{
    EXPECT_EQ(Load(Riff({Chunk("fmt ", FormatBody(2, 1, 8000, 4)), Chunk("data", Bytes(16), 17)})),
              LoadResult::FailedToLoad);
    EXPECT_EQ(Load(Wave(2, 1, 8000, 4, Bytes(16))), LoadResult::NotUncompressedPcm);
    EXPECT_EQ(Load(Wave(1, 1, 8000, 4, Bytes(16))), LoadResult::SampleRateTooLow);
    EXPECT_EQ(Load(Wave(1, 0, 44100, 32, Bytes(16))), LoadResult::UnsupportedBitDepth);
}

TEST_P(Conversion, LongPcmFormatBlockIsSkipped)
{
    ASSERT_EQ(Load(Riff({Chunk("fmt ", FormatBody(1, 2, 44100, 16, Bytes{0xAB, 0xCD})),
                         Chunk("data", Samples({-32768, 32767}, 2))})),
              LoadResult::Loaded);
    EXPECT_EQ(sound.format.extraFormatSize, 0);
    EXPECT_THAT(FramesOf(sound), ElementsAre(-1.0f, 0.999969482421875f));
}

TEST_P(Conversion, NothingToPlayAppearsEmpty)
{
    // A "data" chunk of size 0, ones shorter than a frame, a format of no channels.
    EXPECT_EQ(Load(Wave(1, 2, 44100, 16, Bytes{})), LoadResult::AppearsEmpty);
    EXPECT_EQ(Load(Wave(1, 2, 44100, 16, Bytes{1, 2, 3})), LoadResult::AppearsEmpty);
    EXPECT_EQ(Load(Wave(1, 2, 44100, 24, Bytes(5))), LoadResult::AppearsEmpty);
    EXPECT_EQ(Load(Wave(1, 0, 44100, 16, Bytes(64))), LoadResult::AppearsEmpty);
    ExpectHoldsNothing(sound);
    // Many channels are the engine's business, not the loader's.
    ASSERT_EQ(Load(Wave(1, 65535, 44100, 8, Bytes(65535 * 2, 128))), LoadResult::Loaded);
    EXPECT_EQ(sound.frameCount, 2);
}

INSTANTIATE_TEST_SUITE_P(Routes, Conversion, ::testing::Values(Route::Memory, Route::File), RouteName);

}  // namespace
}  // namespace kelvane::playback::test
