// Where SampleMemory gets its raw blocks. Tests swap the functions to make an
// allocation fail or to see how much was asked for; they are not meant to be
// swapped while a load runs.
#pragma once

#include <cstddef>

namespace kelvane::playback {

// Returns `bytes` zeroed bytes (on any alignment), or null.
using SampleAllocateFunction = void* (*)(std::size_t bytes);
// Releases a block from the allocate function, given the size asked for.
using SampleReleaseFunction = void (*)(void* block, std::size_t bytes);

void SetSampleAllocator(SampleAllocateFunction allocate, SampleReleaseFunction release) noexcept;
void RestoreSampleAllocator() noexcept;

}  // namespace kelvane::playback
