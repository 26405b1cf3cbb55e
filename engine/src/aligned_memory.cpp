#include "aligned_memory.h"

#include <cstdlib>
#include <cstring>

namespace kelvane {
namespace {

RawAllocateFunction rawAllocate = &std::malloc;
RawReleaseFunction rawRelease = &std::free;

// Room for the stored raw address plus the worst-case distance to the next
// 16-byte boundary.
constexpr std::uintptr_t alignmentSlack = sizeof(void*) + 15;

}  // namespace

void SetRawAllocator(RawAllocateFunction allocate, RawReleaseFunction release)
{
    rawAllocate = allocate;
    rawRelease = release;
}

void RestoreRawAllocator()
{
    rawAllocate = &std::malloc;
    rawRelease = &std::free;
}

void* AlignedAllocate(std::size_t bytes)
{
    if (bytes > SIZE_MAX - alignmentSlack) {
        return nullptr;
    }
    void* raw = rawAllocate(bytes + alignmentSlack);
    if (raw == nullptr) {
        return nullptr;
    }
    const auto rawAddress = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (rawAddress + alignmentSlack) & ~std::uintptr_t{15};
    void** slot = reinterpret_cast<void**>(aligned) - 1;
    std::memcpy(slot, &raw, sizeof raw);
    return reinterpret_cast<void*>(aligned);
}

void AlignedRelease(void* block)
{
    if (block == nullptr) {
        return;
    }
    void* raw = nullptr;
    std::memcpy(&raw, static_cast<void**>(block) - 1, sizeof raw);
    rawRelease(raw);
}

}  // namespace kelvane
