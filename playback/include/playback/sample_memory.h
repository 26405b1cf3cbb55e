// The float memory that holds a loaded sound's samples: one block on a
// 16-byte boundary (the engine and the overview read it four floats at a
// time), zero-filled when it is made, released with its owner.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvane::playback {

class SampleMemory {
public:
    SampleMemory() noexcept = default;
    ~SampleMemory();
    SampleMemory(SampleMemory&& other) noexcept;
    SampleMemory& operator=(SampleMemory&& other) noexcept;
    SampleMemory(const SampleMemory&) = delete;
    SampleMemory& operator=(const SampleMemory&) = delete;

    // Replaces the block with `bytes` zero bytes on a 16-byte boundary.
    // Returns false, holding nothing, when the memory cannot be had.
    bool Allocate(std::uint64_t bytes) noexcept;
    void Release() noexcept;

    float* data() noexcept { return floats; }
    const float* data() const noexcept { return floats; }
    std::uint64_t bytes() const noexcept { return byteCount; }
    bool empty() const noexcept { return floats == nullptr; }

private:
    float* floats = nullptr;
    void* rawBlock = nullptr;
    std::size_t rawBytes = 0;
    std::uint64_t byteCount = 0;
};

}  // namespace kelvane::playback
