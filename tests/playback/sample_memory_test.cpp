// Memory for the samples: asked for only once the data is known to be there
// and to fit, sized in 64 bits, refused cleanly when it runs out, and owned
// by exactly one sound.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "load_fixture.h"
#include "sample_allocator.h"

namespace kelvane::playback::test {
namespace {

using ::testing::ElementsAre;

struct AllocatorSpy {
    static inline int allocations = 0;
    static inline int releases = 0;
    static inline std::size_t largestRequest = 0;
    static inline bool failing = false;

    static void* Allocate(std::size_t bytes)
    {
        ++allocations;
        largestRequest = std::max(largestRequest, bytes);
        return failing ? nullptr : std::calloc(1, bytes);
    }
    static void Release(void* block, std::size_t)
    {
        ++releases;
        std::free(block);
    }
};

class SampleMemoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        AllocatorSpy::allocations = 0;
        AllocatorSpy::releases = 0;
        AllocatorSpy::largestRequest = 0;
        AllocatorSpy::failing = false;
        SetSampleAllocator(AllocatorSpy::Allocate, AllocatorSpy::Release);
    }
    void TearDown() override { RestoreSampleAllocator(); }

    // A file whose "data" chunk of `dataSize` bytes is a hole: as large as
    // the test needs, costing no disk and no time.
    std::string WriteSparseWave(std::uint16_t channels, std::uint16_t bits, std::uint32_t dataSize)
    {
        const Bytes header =
            Riff({Chunk("fmt ", FormatBody(1, channels, 44100, bits)), Chunk("data", {}, dataSize)},
                 static_cast<std::uint32_t>(std::min<std::uint64_t>(36ull + dataSize, 0xFFFFFFFFu)));
        const std::string path = folder.Write("large.wav", header);
        if (path.empty() || ::truncate(path.c_str(), static_cast<off_t>(header.size() + dataSize)) != 0) {
            return {};
        }
        return path;
    }

    TempFolder folder;
    LoadedSound sound;
};

const Bytes goodWave = Wave(1, 2, 44100, 16, Samples({-32768, 32767, 16384, -16384}, 2));

TEST_F(SampleMemoryTest, OutOfMemoryFailsToLoad)
{
    AllocatorSpy::failing = true;
    EXPECT_EQ(LoadSoundFromMemory(sound, goodWave.data(), goodWave.size()), LoadResult::FailedToLoad);
    EXPECT_EQ(AllocatorSpy::allocations, 1);
    ExpectHoldsNothing(sound);
}

TEST_F(SampleMemoryTest, NothingIsAllocatedForDataThatIsNotThere)
{
    const Bytes hostile =
        Riff({Chunk("fmt ", FormatBody(1, 2, 44100, 16)), Chunk("data", Bytes(4), 0xFFFFFFF0u)});
    EXPECT_EQ(LoadSoundFromMemory(sound, hostile.data(), hostile.size()), LoadResult::FailedToLoad);
    const Bytes compressed = Wave(2, 2, 44100, 4, Bytes(64));
    EXPECT_EQ(LoadSoundFromMemory(sound, compressed.data(), compressed.size()),
              LoadResult::NotUncompressedPcm);
    EXPECT_EQ(AllocatorSpy::allocations, 0);
}

TEST_F(SampleMemoryTest, FrameCountBeyond32BitsFailsToLoadBeforeAllocating)
{
    for (const std::uint32_t dataSize : {0x80000000u, 0xFFFFFFFFu}) {
        const std::string path = WriteSparseWave(1, 8, dataSize);
        if (path.empty()) {
            GTEST_SKIP() << "no sparse files in " << folder.path;
        }
        EXPECT_EQ(LoadSound(sound, path), LoadResult::FailedToLoad);
        ExpectHoldsNothing(sound);
    }
    EXPECT_EQ(AllocatorSpy::allocations, 0);
}

// Just under the frame limit the memory is asked for in full: a size that
// wrapped in 32 bits would ask for far less (and then be overrun).
TEST_F(SampleMemoryTest, LargeSizesAreNotTruncated)
{
    AllocatorSpy::failing = true;
    struct Case {
        std::uint16_t bits;
        std::uint32_t dataSize;
        std::uint64_t sampleBytes;
    };
    for (const Case& c : {Case{8, 0x7FFFFFFFu, 0x1FFFFFFFCull}, Case{16, 0xFFFFFFFEu, 0x1FFFFFFFCull},
                          Case{24, 0xFFFFFFFFu, 0x155555554ull}}) {
        SCOPED_TRACE(c.bits);
        const std::string path = WriteSparseWave(1, c.bits, c.dataSize);
        if (path.empty()) {
            GTEST_SKIP() << "no sparse files in " << folder.path;
        }
        AllocatorSpy::largestRequest = 0;
        EXPECT_EQ(LoadSound(sound, path), LoadResult::FailedToLoad);
        EXPECT_GE(AllocatorSpy::largestRequest, c.sampleBytes);
        EXPECT_LT(AllocatorSpy::largestRequest, c.sampleBytes + 64);
    }
}

// Moved, reloaded or refused, a sound releases each block once.
TEST_F(SampleMemoryTest, SoundsOwnTheirSamplesOnce)
{
    {
        ASSERT_EQ(LoadSoundFromMemory(sound, goodWave.data(), goodWave.size()), LoadResult::Loaded);
        const float* samples = sound.samples.data();
        LoadedSound moved(std::move(sound));
        EXPECT_EQ(moved.samples.data(), samples);
        ExpectHoldsNothing(sound);

        LoadedSound other;
        ASSERT_EQ(LoadSoundFromMemory(other, goodWave.data(), goodWave.size()), LoadResult::Loaded);
        other = std::move(moved);
        EXPECT_EQ(AllocatorSpy::releases, 1);
        EXPECT_THAT(FramesOf(other), ElementsAre(-1.0f, 0.999969482421875f, 0.5f, -0.5f));

        const Bytes lowRate = Wave(1, 2, 22050, 16, Bytes(8));
        EXPECT_EQ(LoadSoundFromMemory(other, lowRate.data(), lowRate.size()), LoadResult::SampleRateTooLow);
        EXPECT_EQ(AllocatorSpy::releases, 2);
        ExpectHoldsNothing(other);
        ASSERT_EQ(LoadSoundFromMemory(moved, goodWave.data(), goodWave.size()), LoadResult::Loaded);
    }
    EXPECT_EQ(AllocatorSpy::allocations, 3);
    EXPECT_EQ(AllocatorSpy::releases, 3);
}

TEST_F(SampleMemoryTest, ConvertToFloatRunsOncePerLoad)
{
    LoadedSound raw;
    raw.format = {.formatTag = 1, .channels = 1, .bitsPerSample = 16};
    raw.dataBytes = 4;
    const Bytes first = Samples({16384, -32768}, 2);
    const Bytes second = Samples({0, 0}, 2);
    ASSERT_EQ(ConvertToFloat(raw, first.data()), LoadResult::Loaded);
    ASSERT_EQ(ConvertToFloat(raw, second.data()), LoadResult::Loaded);
    EXPECT_THAT(FramesOf(raw), ElementsAre(0.5f, -1.0f));
    EXPECT_EQ(AllocatorSpy::allocations, 1);
}

}  // namespace
}  // namespace kelvane::playback::test
