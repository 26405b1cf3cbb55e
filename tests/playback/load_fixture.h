// Runs each loading test twice: from memory and from a file on disk, which go
// through different byte sources but must give the same results.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "playback/loaded_sound.h"
#include "temp_folder.h"
#include "wav_bytes.h"

namespace kelvane::playback {

inline void PrintTo(LoadResult result, std::ostream* out)
{
    *out << (result == LoadResult::Loaded ? "Loaded" : GetLoadResultText(result));
}

namespace test {

enum class Route { Memory, File };

inline void PrintTo(Route route, std::ostream* out)
{
    *out << (route == Route::Memory ? "Memory" : "File");
}

inline std::string RouteName(const ::testing::TestParamInfo<Route>& info)
{
    return ::testing::PrintToString(info.param);
}

// The floats of the whole frames.
inline std::vector<float> FramesOf(const LoadedSound& sound)
{
    const std::size_t count = static_cast<std::size_t>(sound.frameCount) * sound.format.channels;
    return std::vector<float>(sound.samples.data(), sound.samples.data() + count);
}

inline void ExpectHoldsNothing(const LoadedSound& sound)
{
    EXPECT_TRUE(sound.samples.empty());
    EXPECT_EQ(sound.frameCount, 0);
    EXPECT_EQ(sound.sampleBytes, 0u);
}

class LoadTest : public ::testing::TestWithParam<Route> {
protected:
    LoadResult Load(const Bytes& bytes)
    {
        if (GetParam() == Route::Memory) {
            return LoadSoundFromMemory(sound, bytes.data(), bytes.size());
        }
        const std::string file = folder.Write("sound.wav", bytes);
        EXPECT_FALSE(file.empty()) << "cannot write into " << folder.path;
        return LoadSound(sound, file);
    }

    TempFolder folder;
    LoadedSound sound;
};

}  // namespace test
}  // namespace kelvane::playback
