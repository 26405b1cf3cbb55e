// Opening files: UTF-8 names, paths of any length, and things that are not
// regular files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "byte_source.h"
#include "load_fixture.h"

namespace kelvane::playback::test {
namespace {

using ::testing::ElementsAre;

const Bytes goodWave = Wave(1, 2, 44100, 16, Samples({-32768, 32767, 16384, -16384}, 2));

class LoadPathTest : public ::testing::Test {
protected:
    void ExpectGoodSound()
    {
        EXPECT_EQ(sound.frameCount, 2);
        EXPECT_THAT(FramesOf(sound), ElementsAre(-1.0f, 0.999969482421875f, 0.5f, -0.5f));
    }

    TempFolder folder;
    LoadedSound sound;
};

TEST_F(LoadPathTest, WhatCannotBeOpenedAppearsEmpty)
{
    EXPECT_EQ(LoadSound(sound, folder.path + "/missing.wav"), LoadResult::AppearsEmpty);
    EXPECT_EQ(LoadSound(sound, ""), LoadResult::AppearsEmpty);
    EXPECT_EQ(LoadSound(sound, folder.path), LoadResult::AppearsEmpty);
    EXPECT_EQ(LoadSound(sound, "/dev/zero"), LoadResult::AppearsEmpty);
    EXPECT_EQ(LoadSound(sound, folder.Write("x.wav", goodWave) + std::string(1, '\0') + "y"),
              LoadResult::AppearsEmpty);
    // A named pipe with no writer would block a reader for ever.
    const std::string pipe = folder.path + "/pipe.wav";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_EQ(LoadSound(sound, pipe), LoadResult::AppearsEmpty);
    ExpectHoldsNothing(sound);
}

TEST_F(LoadPathTest, Utf8NamesAndLinks)
{
    const std::string path = folder.Write("Grüße – 音楽 ünïcödé.wav", goodWave);
    ASSERT_FALSE(path.empty());
    ASSERT_EQ(LoadSound(sound, path), LoadResult::Loaded);
    ExpectGoodSound();
    const std::string link = folder.path + "/link → sound.wav";
    ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
    ASSERT_EQ(LoadSound(sound, link), LoadResult::Loaded);
    ExpectGoodSound();
}

// Nested folders, far past 260 characters and past what the system takes in
// one piece: made and opened folder by folder.
TEST_F(LoadPathTest, PathBeyondTheSystemLimit)
{
    std::string path = folder.path;
    int current = ::open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(current, 0);
    for (int level = 0; path.size() < PATH_MAX + 200; ++level) {
        const std::string name = std::to_string(level) + "-" + std::string(100, 'x') + "-ü";
        ASSERT_EQ(::mkdirat(current, name.c_str(), 0755), 0);
        const int next = ::openat(current, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(current);
        ASSERT_GE(next, 0);
        current = next;
        path += "/" + name;
    }
    const bool written = WriteFileAt(current, "sound.wav", goodWave);
    ::close(current);
    ASSERT_TRUE(written);
    path += "/sound.wav";

    // The plain call really does refuse it.
    errno = 0;
    EXPECT_LT(::open(path.c_str(), O_RDONLY), 0);
    EXPECT_EQ(errno, ENAMETOOLONG);

    ASSERT_EQ(LoadSound(sound, path), LoadResult::Loaded);
    ExpectGoodSound();
    EXPECT_EQ(LoadSound(sound, path + "/"), LoadResult::AppearsEmpty);
    EXPECT_EQ(LoadSound(sound, path.substr(0, path.size() - 9) + "missing.wav"), LoadResult::AppearsEmpty);
}

// A file cut short while it is being read (rewritten by another program)
// gives a failed read, never stale or unread bytes.
TEST_F(LoadPathTest, AFileThatShrinksWhileOpenIsNotReadPastItsEnd)
{
    const std::string path = folder.Write("shrinking.wav", Bytes(100000, 0x55));
    FileSource file;
    ASSERT_TRUE(file.Open(path));
    std::uint8_t header[8];
    ASSERT_TRUE(file.ReadAt(0, header, sizeof header));
    ASSERT_EQ(::truncate(path.c_str(), 50000), 0);
    std::vector<std::uint8_t> scratch(60000);
    EXPECT_NE(file.View(0, 50000, scratch.data()), nullptr);
    EXPECT_EQ(file.View(40000, 20000, scratch.data()), nullptr);
    EXPECT_FALSE(file.ReadAt(99000, header, sizeof header));
}

}  // namespace
}  // namespace kelvane::playback::test
