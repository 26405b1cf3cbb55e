// Input frames for the render loop straight from a sound file, a block at a
// time, so memory does not grow with the file's length.
#pragma once

#include <cstdint>
#include <vector>

#include "sound_files/sound_file_reader.h"

namespace kelvane::render {

class FileFrameSource {
public:
    explicit FileFrameSource(sound_files::SoundFileReader& reader) : reader(reader) {}

    // Fills `destination` with `frameCount` frames from `first` on, served
    // from a window of the file read in one go. Forward renders ask for the
    // frames in order: the window reaches kReadAheadFrames ahead, so the
    // file is read in long runs rather than an engine hop at a time.
    // Reversed ones ask from the end backwards: the window reaches
    // kReverseWindowFrames back, read once per that many frames, since every
    // seek of a compressed file costs a search. False when the reader fails
    // (its Error() says why).
    bool Read(std::int64_t first, int frameCount, float* destination);

    static constexpr std::int64_t kReadAheadFrames = 16384;
    static constexpr std::int64_t kReverseWindowFrames = 65536;

private:
    sound_files::SoundFileReader& reader;
    std::vector<float> window;
    std::int64_t windowFirst = 0;
    std::int64_t windowFrames = 0;
};

}  // namespace kelvane::render
