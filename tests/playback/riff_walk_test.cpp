// The chunk walk on damaged and unusual files: never a read outside the
// file, always one of the five refusals or a correct load.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "load_fixture.h"

namespace kelvane::playback::test {
namespace {

using ::testing::ElementsAre;

const Bytes stereoFormat = FormatBody(1, 2, 44100, 16);
const Bytes stereoData = Samples({-32768, 32767, 16384, -16384}, 2);

using ChunkWalk = LoadTest;

TEST_P(ChunkWalk, NotAWaveOrMissingPiecesAppearsEmpty)
{
    const Bytes good = Riff({Chunk("fmt ", stereoFormat), Chunk("data", stereoData)});
    Bytes notRiff = good;
    notRiff[0] = 'X';
    Bytes notWave = good;
    notWave[8] = 'A';
    const Bytes shortFormat(stereoFormat.begin(), stereoFormat.begin() + 14);
    const Bytes cases[] = {
        {},
        Bytes(good.begin(), good.begin() + 11),
        notRiff,
        notWave,
        Riff({Chunk("data", stereoData)}),
        Riff({Chunk("fmt ", stereoFormat)}),
        Riff({Chunk("fmt ", shortFormat), Chunk("data", stereoData)}),
        // A format block that claims 16 bytes but the file ends first.
        Riff({Chunk("fmt ", Bytes(10), 16)}),
        // Extra format bytes that run past the end of the file.
        Riff({Chunk("data", stereoData), Chunk("fmt ", FormatBody(3, 2, 44100, 32, Samples({500}, 2)))}),
    };
    for (const Bytes& bytes : cases) {
        EXPECT_EQ(Load(bytes), LoadResult::AppearsEmpty);
        ExpectHoldsNothing(sound);
    }
}

TEST_P(ChunkWalk, OddChunksArePaddedToEvenLength)
{
    // An odd "junk" chunk before the format, an odd 8-bit data chunk after it.
    const Bytes bytes = Riff({Chunk("junk", Bytes{1, 2, 3}), Chunk("fmt ", FormatBody(1, 1, 44100, 8)),
                              Chunk("data", Bytes{0, 64, 128, 192, 255}), Chunk("LIST", Bytes{9})});
    ASSERT_EQ(Load(bytes), LoadResult::Loaded);
    EXPECT_THAT(FramesOf(sound), ElementsAre(-1.0f, -0.5f, 0.0f, 0.5f, 0.9921875f));
}

// The format may follow the data; of duplicated chunks the first counts.
TEST_P(ChunkWalk, ChunkOrder)
{
    ASSERT_EQ(Load(Riff({Chunk("data", stereoData), Chunk("fmt ", stereoFormat)})), LoadResult::Loaded);
    EXPECT_THAT(FramesOf(sound), ElementsAre(-1.0f, 0.999969482421875f, 0.5f, -0.5f));
    ASSERT_EQ(Load(Riff({Chunk("fmt ", stereoFormat), Chunk("data", stereoData),
                         Chunk("fmt ", FormatBody(1, 1, 48000, 8)), Chunk("data", Bytes{1, 2, 3})})),
              LoadResult::Loaded);
    EXPECT_EQ(sound.format.channels, 2);
    EXPECT_THAT(FramesOf(sound), ElementsAre(-1.0f, 0.999969482421875f, 0.5f, -0.5f));
}

TEST_P(ChunkWalk, NestedChunksAreNotSearched)
{
    Bytes list{'I', 'N', 'F', 'O'};
    Append(list, Chunk("data", Samples({7, 7}, 2)));
    Append(list, Chunk("fmt ", FormatBody(1, 1, 8000, 8)));
    ASSERT_EQ(Load(Riff({Chunk("LIST", list), Chunk("fmt ", stereoFormat), Chunk("data", stereoData)})),
              LoadResult::Loaded);
    EXPECT_EQ(sound.frameCount, 2);
    EXPECT_EQ(sound.samples.data()[0], -1.0f);
    // Only inside a list: not there.
    EXPECT_EQ(Load(Riff({Chunk("fmt ", stereoFormat), Chunk("LIST", list)})), LoadResult::AppearsEmpty);
    // A whole "RIFF" form as a chunk of another.
    const Bytes inner = Riff({Chunk("fmt ", stereoFormat), Chunk("data", stereoData)});
    EXPECT_EQ(Load(Riff({Chunk("RIFF", Bytes(inner.begin() + 8, inner.end()))})), LoadResult::AppearsEmpty);
}

TEST_P(ChunkWalk, ChunkSizesNear4GiBNeverWrap)
{
    // Skipping this chunk in 32 bits would land back on the format chunk and
    // go round for ever; in 64 bits it ends the search.
    EXPECT_EQ(Load(Riff({Chunk("fmt ", stereoFormat), Chunk("junk", Bytes(8), 0xFFFFFFE0u),
                         Chunk("data", stereoData)})),
              LoadResult::AppearsEmpty);
    EXPECT_EQ(Load(Riff({Chunk("fmt ", stereoFormat), Chunk("junk", Bytes(8), 0xFFFFFFFFu),
                         Chunk("data", stereoData)})),
              LoadResult::AppearsEmpty);
    // A huge format chunk is read for its 16 bytes; a "data" chunk before it is still found.
    ASSERT_EQ(Load(Riff({Chunk("data", stereoData), Chunk("fmt ", stereoFormat, 0xFFFFFFFEu)})),
              LoadResult::Loaded);
    EXPECT_EQ(sound.frameCount, 2);
    EXPECT_EQ(Load(Riff({Chunk("data", stereoData, 0xFFFFFFFFu), Chunk("fmt ", stereoFormat)})),
              LoadResult::AppearsEmpty);
    EXPECT_EQ(Load(Riff({Chunk("fmt ", stereoFormat), Chunk("data", stereoData, 0xFFFFFFFFu)})),
              LoadResult::FailedToLoad);
    ExpectHoldsNothing(sound);
}

TEST_P(ChunkWalk, FormSizeBoundsTheSearch)
{
    const Bytes fmt = Chunk("fmt ", stereoFormat);
    const Bytes data = Chunk("data", stereoData);
    // A form that ends after the format block hides the "data" chunk behind it.
    EXPECT_EQ(Load(Riff({fmt, data}, static_cast<std::uint32_t>(4 + fmt.size()))), LoadResult::AppearsEmpty);
    // One that claims more than the file holds ends where the file does.
    EXPECT_EQ(Load(Riff({fmt, data}, 0xFFFFFFFFu)), LoadResult::Loaded);
    // The data chunk itself may run past the form's end, as long as the file holds it.
    EXPECT_EQ(Load(Riff({fmt, data}, static_cast<std::uint32_t>(4 + fmt.size() + 8))), LoadResult::Loaded);
}

// Cutting a file anywhere gives "empty" while a header is incomplete, "failed
// to load" while the data is, and the whole sound once it is all there.
TEST_P(ChunkWalk, EveryTruncationIsRefusedCleanly)
{
    const Bytes data = Samples({1, -1, 2, -2, 3, -3}, 2);
    const Bytes whole = Wave(1, 2, 44100, 16, data);
    const std::size_t dataStart = whole.size() - data.size();
    for (std::size_t length = 0; length <= whole.size(); ++length) {
        SCOPED_TRACE(length);
        const LoadResult result =
            Load(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length)));
        if (length < dataStart) {
            EXPECT_EQ(result, LoadResult::AppearsEmpty);
        } else if (length < whole.size()) {
            EXPECT_EQ(result, LoadResult::FailedToLoad);
        } else {
            EXPECT_EQ(result, LoadResult::Loaded);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Routes, ChunkWalk, ::testing::Values(Route::Memory, Route::File), RouteName);

// Every byte of a small file set to a few hostile values: whatever the loader
// makes of it, it stays inside the bytes it was given (the sanitizer build
// checks that) and a load it accepts is whole.
TEST(ChunkWalkDamage, EveryByteChangedGivesARefusalOrAWholeSound)
{
    const Bytes original =
        Riff({Chunk("junk", Bytes{5}), Chunk("fmt ", FormatBody(1, 2, 44100, 24, Bytes{0, 0})),
              Chunk("data", Samples({0x800000, 0x7FFFFF, 1, 2, 3, 4, 5}, 3))});
    int loaded = 0;
    for (std::size_t position = 0; position < original.size(); ++position) {
        for (const std::uint8_t value : {0x00, 0x01, 0x7F, 0x80, 0xFE, 0xFF}) {
            Bytes damaged = original;
            damaged[position] = value;
            LoadedSound sound;
            const LoadResult result = LoadSoundFromMemory(sound, damaged.data(), damaged.size());
            ASSERT_GE(static_cast<int>(result), static_cast<int>(LoadResult::UnsupportedBitDepth));
            ASSERT_LE(static_cast<int>(result), 0);
            if (result != LoadResult::Loaded) {
                ExpectHoldsNothing(sound);
                continue;
            }
            ++loaded;
            ASSERT_GE(sound.frameCount, 1);
            const std::uint64_t floats = std::uint64_t{sound.format.channels} * sound.frameCount;
            ASSERT_LE(floats * sizeof(float), sound.sampleBytes);
            ASSERT_EQ(reinterpret_cast<std::uintptr_t>(sound.samples.data()) % 16, 0u);
            for (const float sample : FramesOf(sound)) {
                ASSERT_TRUE(sample >= -1.0f && sample <= 1.0f) << sample;
            }
        }
    }
    EXPECT_GT(loaded, 0);  // sample bytes changed still make a sound
}

}  // namespace
}  // namespace kelvane::playback::test
