#include "allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "aligned_memory.h"

namespace kelvane::test {
namespace {

std::atomic<std::int64_t> allocations{0};
std::atomic<std::int64_t> releases{0};

void* CountedAllocate(std::size_t bytes)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(bytes);
}

void CountedRelease(void* block)
{
    if (block != nullptr) {
        releases.fetch_add(1, std::memory_order_relaxed);
    }
    std::free(block);
}

void* AllocateForNew(std::size_t bytes, std::size_t alignment)
{
    bytes = bytes == 0 ? 1 : bytes;
    if (alignment <= alignof(std::max_align_t)) {
        return CountedAllocate(bytes);
    }
    allocations.fetch_add(1, std::memory_order_relaxed);
    return std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment);
}

}  // namespace

std::int64_t AllocationCount()
{
    return allocations.load(std::memory_order_relaxed);
}

std::int64_t ReleaseCount()
{
    return releases.load(std::memory_order_relaxed);
}

AllocationScope::AllocationScope()
{
    // Blocks taken before the scope are released through the same free.
    SetRawAllocator(&CountedAllocate, &CountedRelease);
    allocationsAtStart = AllocationCount();
    releasesAtStart = ReleaseCount();
}

AllocationScope::~AllocationScope()
{
    RestoreRawAllocator();
}

}  // namespace kelvane::test

using kelvane::test::AllocateForNew;
using kelvane::test::CountedRelease;

void* operator new(std::size_t bytes)
{
    if (void* block = AllocateForNew(bytes, 0)) {
        return block;
    }
    throw std::bad_alloc();
}

void* operator new[](std::size_t bytes)
{
    return ::operator new(bytes);
}

void* operator new(std::size_t bytes, std::align_val_t alignment)
{
    if (void* block = AllocateForNew(bytes, static_cast<std::size_t>(alignment))) {
        return block;
    }
    throw std::bad_alloc();
}

void* operator new[](std::size_t bytes, std::align_val_t alignment)
{
    return ::operator new(bytes, alignment);
}

void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept
{
    return AllocateForNew(bytes, 0);
}

void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept
{
    return AllocateForNew(bytes, 0);
}

void* operator new(std::size_t bytes, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return AllocateForNew(bytes, static_cast<std::size_t>(alignment));
}

void* operator new[](std::size_t bytes, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return AllocateForNew(bytes, static_cast<std::size_t>(alignment));
}

// clang-format off
void operator delete(void* p) noexcept { CountedRelease(p); }
void operator delete[](void* p) noexcept { CountedRelease(p); }
void operator delete(void* p, std::size_t) noexcept { CountedRelease(p); }
void operator delete[](void* p, std::size_t) noexcept { CountedRelease(p); }
void operator delete(void* p, std::align_val_t) noexcept { CountedRelease(p); }
void operator delete[](void* p, std::align_val_t) noexcept { CountedRelease(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { CountedRelease(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { CountedRelease(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { CountedRelease(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { CountedRelease(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { CountedRelease(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { CountedRelease(p); }
// clang-format on
