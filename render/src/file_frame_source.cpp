#include "file_frame_source.h"

#include <algorithm>
#include <cstring>

namespace kelvane::render {

bool FileFrameSource::Read(std::int64_t first, int frameCount, float* destination)
{
    const auto channels = static_cast<std::size_t>(reader.Info().channels);
    const std::int64_t end = first + frameCount;
    if (first < windowFirst || end > windowFirst + windowFrames) {
        const bool straightOn = first == reader.Position();
        // Straight on from the last read, the window holds this block and
        // what follows. Otherwise it ends where this block ends and reaches
        // back as far as it can: the blocks asked for next lie before it.
        const std::int64_t frames =
            straightOn ? std::max<std::int64_t>(std::min(kReadAheadFrames, reader.Info().frames - first), frameCount)
                       : std::max<std::int64_t>(std::min(kReverseWindowFrames, end), frameCount);
        window.resize(static_cast<std::size_t>(frames) * channels);
        windowFirst = straightOn ? first : end - frames;
        windowFrames = 0;
        if ((!straightOn && !reader.Seek(windowFirst)) || !reader.Read(window.data(), frames)) {
            return false;
        }
        windowFrames = frames;
    }
    std::memcpy(destination, window.data() + static_cast<std::size_t>(first - windowFirst) * channels,
                static_cast<std::size_t>(frameCount) * channels * sizeof(float));
    return true;
}

}  // namespace kelvane::render
