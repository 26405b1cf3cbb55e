// The chunk walk of a RIFF "WAVE" file: where its format and its sample data are.
#pragma once

#include <cstdint>

#include "byte_source.h"
#include "playback/loaded_sound.h"

namespace kelvane::playback {

struct WaveLayout {
    WaveFormat format;
    std::uint64_t dataOffset = 0;  // of the "data" chunk's bytes, from the start of the file
    std::uint32_t dataSize = 0;    // as declared; it may run past the end of the file
};

// Reads the "RIFF" header, the first "fmt " chunk and finds the first "data"
// chunk among the sibling chunks of the "RIFF" form. False when the file is
// not a "WAVE" form, or its format block or "data" chunk is missing or short.
bool WalkWaveChunks(ByteSource& source, WaveLayout& layout) noexcept;

}  // namespace kelvane::playback
