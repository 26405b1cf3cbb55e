// A sound ready to play: interleaved float32 samples in one 16-byte aligned
// block, with their frame count, channel count and sample rate. The player
// plays this, whichever reader made it.
#pragma once

#include <cstdint>
#include <utility>

#include "playback/sample_memory.h"

namespace kelvane::playback {

// `samples` holds frameCount x channels floats, channels interleaved frame
// by frame (and may hold zeros after them). A sound with no frames plays
// nothing. Movable, not copyable; a moved-from sound is empty.
struct Sound {
    Sound() noexcept = default;
    Sound(Sound&& other) noexcept
        : samples(std::move(other.samples)),
          frameCount(std::exchange(other.frameCount, 0)),
          channels(std::exchange(other.channels, 0)),
          sampleRate(std::exchange(other.sampleRate, 0u))
    {
    }
    Sound& operator=(Sound&& other) noexcept
    {
        if (this != &other) {
            samples = std::move(other.samples);
            frameCount = std::exchange(other.frameCount, 0);
            channels = std::exchange(other.channels, 0);
            sampleRate = std::exchange(other.sampleRate, 0u);
        }
        return *this;
    }
    Sound(const Sound&) = delete;
    Sound& operator=(const Sound&) = delete;
    ~Sound() = default;

    SampleMemory samples;         // float32, 16-byte aligned
    std::int32_t frameCount = 0;  // whole frames in samples
    int channels = 0;
    std::uint32_t sampleRate = 0;  // frames per second
};

}  // namespace kelvane::playback
