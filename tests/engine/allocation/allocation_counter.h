// Counts allocations in this test binary, to prove that the real-time
// operations allocate nothing.
//
// Every global operator new and delete (all forms) is replaced here and
// counted. malloc itself is not replaced, so that the binary still runs under
// AddressSanitizer; the engine's own blocks are counted instead through its
// raw allocator while an AllocationScope is alive.
#pragma once

#include <cstdint>

namespace kelvane::test {

// Allocations and releases so far: operator new/delete of any form, plus the
// engine's raw blocks while a scope is alive.
std::int64_t AllocationCount();
std::int64_t ReleaseCount();

// Routes the engine's raw allocator through the counter for its lifetime.
// Read the counts inside the scope before anything that may allocate, such
// as a failing assertion.
class AllocationScope {
public:
    AllocationScope();
    ~AllocationScope();
    AllocationScope(const AllocationScope&) = delete;
    AllocationScope& operator=(const AllocationScope&) = delete;

    std::int64_t Allocations() const { return AllocationCount() - allocationsAtStart; }
    std::int64_t Releases() const { return ReleaseCount() - releasesAtStart; }

private:
    std::int64_t allocationsAtStart;
    std::int64_t releasesAtStart;
};

}  // namespace kelvane::test
