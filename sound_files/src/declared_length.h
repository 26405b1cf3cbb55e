// The length a WAV, RF64 or AIFF header announces, read from the file's own
// chunks. libsndfile trims its frame count to the data the file holds, so a
// file cut off part way (an interrupted recording, a copy that stopped)
// reads as a shorter, whole one; this is how the reader tells the two apart.
#pragma once

#include <cstdint>
#include <optional>

namespace kelvane::sound_files {

// The frames the header of the file open on `descriptor` declares, read with
// pread (the descriptor's offset is left alone). Nothing for another format,
// for a WAV of compressed samples (its sizes count blocks, not frames), and
// for a header that leaves the length open (a data size of 0 or 0xFFFFFFFF,
// as streaming writers put before they know it).
std::optional<std::int64_t> DeclaredFrames(int descriptor);

}  // namespace kelvane::sound_files
