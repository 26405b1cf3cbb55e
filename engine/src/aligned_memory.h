// The engine's one allocation routine. Every buffer, table and object the
// engine owns comes from here, so that all of it is 16-byte aligned (the bin
// loops work four floats at a time) and so that a test can make any single
// allocation fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

namespace kelvane {

// Raw allocator used underneath the aligned blocks. Defaults to malloc/free.
// Tests swap it to count allocations or to fail the k-th one.
using RawAllocateFunction = void* (*)(std::size_t bytes);
using RawReleaseFunction = void (*)(void* block);
void SetRawAllocator(RawAllocateFunction allocate, RawReleaseFunction release);
void RestoreRawAllocator();

// Returns a block of at least `bytes` bytes starting on a 16-byte boundary, or
// null. The raw address is kept in the word just before the aligned start.
void* AlignedAllocate(std::size_t bytes);
// Releases a block from AlignedAllocate; null is ignored.
void AlignedRelease(void* block);

template <typename T>
T* AllocateArray(std::size_t count)
{
    return static_cast<T*>(AlignedAllocate(count * sizeof(T)));
}

// Constructs one object in an aligned block; null when memory ran out.
template <typename T, typename... Args>
T* CreateObject(Args&&... args)
{
    void* block = AlignedAllocate(sizeof(T));
    if (block == nullptr) {
        return nullptr;
    }
    return new (block) T(std::forward<Args>(args)...);
}

template <typename T>
void DestroyObject(T* object)
{
    if (object != nullptr) {
        object->~T();
        AlignedRelease(object);
    }
}

}  // namespace kelvane
