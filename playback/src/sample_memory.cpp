#include "playback/sample_memory.h"

#include <sys/mman.h>

#include <cstdlib>
#include <limits>
#include <utility>

#include "sample_allocator.h"

namespace kelvane::playback {

namespace {

constexpr std::size_t alignment = 16;

// Minutes of sound fill hundreds of megabytes, and touching them a small page
// at a time costs more than the conversion; such blocks are mapped on their
// own and backed by large pages where the system offers them.
constexpr std::size_t largePageBytes = std::size_t{2} << 20;
constexpr std::size_t mappedBlockBytes = 8 * largePageBytes;

std::size_t RoundUp(std::size_t bytes, std::size_t step)
{
    return (bytes + step - 1) / step * step;
}

// Fresh pages, from calloc or the mapping, are zero already: no fill needed.
void* AllocateZeroed(std::size_t bytes)
{
    if (bytes < mappedBlockBytes) {
        return std::calloc(1, bytes);
    }
    if (bytes > std::numeric_limits<std::size_t>::max() - 2 * largePageBytes) {
        return nullptr;
    }
    const std::size_t length = RoundUp(bytes, largePageBytes);
    void* mapped =
        ::mmap(nullptr, length + largePageBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        return nullptr;
    }
    // Keep a part that starts on a large-page boundary, return the rest.
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = RoundUp(start, largePageBytes);
    if (aligned > start) {
        ::munmap(mapped, aligned - start);
    }
    if (const std::size_t tail = start + largePageBytes - aligned; tail > 0) {
        ::munmap(reinterpret_cast<void*>(aligned + length), tail);
    }
#ifdef MADV_HUGEPAGE
    ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<void*>(aligned);
}

void ReleaseZeroed(void* block, std::size_t bytes)
{
    if (bytes < mappedBlockBytes) {
        std::free(block);
    } else {
        ::munmap(block, RoundUp(bytes, largePageBytes));
    }
}

SampleAllocateFunction allocateFunction = AllocateZeroed;
SampleReleaseFunction releaseFunction = ReleaseZeroed;

}  // namespace

void SetSampleAllocator(SampleAllocateFunction allocate, SampleReleaseFunction release) noexcept
{
    allocateFunction = allocate;
    releaseFunction = release;
}

void RestoreSampleAllocator() noexcept
{
    allocateFunction = AllocateZeroed;
    releaseFunction = ReleaseZeroed;
}

SampleMemory::~SampleMemory()
{
    Release();
}

SampleMemory::SampleMemory(SampleMemory&& other) noexcept
    : floats(std::exchange(other.floats, nullptr)),
      rawBlock(std::exchange(other.rawBlock, nullptr)),
      rawBytes(std::exchange(other.rawBytes, 0)),
      byteCount(std::exchange(other.byteCount, 0))
{
}

SampleMemory& SampleMemory::operator=(SampleMemory&& other) noexcept
{
    if (this != &other) {
        Release();
        floats = std::exchange(other.floats, nullptr);
        rawBlock = std::exchange(other.rawBlock, nullptr);
        rawBytes = std::exchange(other.rawBytes, 0);
        byteCount = std::exchange(other.byteCount, 0);
    }
    return *this;
}

bool SampleMemory::Allocate(std::uint64_t bytes) noexcept
{
    Release();
    // The sum below must not wrap where size_t is narrower than the request.
    if (bytes > std::numeric_limits<std::size_t>::max() - alignment) {
        return false;
    }
    const std::size_t requested = static_cast<std::size_t>(bytes) + alignment;
    void* block = allocateFunction(requested);
    if (block == nullptr) {
        return false;
    }
    const auto address = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t aligned = (address + alignment - 1) & ~std::uintptr_t{alignment - 1};
    rawBlock = block;
    rawBytes = requested;
    floats = reinterpret_cast<float*>(aligned);
    byteCount = bytes;
    return true;
}

void SampleMemory::Release() noexcept
{
    if (rawBlock != nullptr) {
        releaseFunction(rawBlock, rawBytes);
    }
    rawBlock = nullptr;
    rawBytes = 0;
    floats = nullptr;
    byteCount = 0;
}

}  // namespace kelvane::playback
