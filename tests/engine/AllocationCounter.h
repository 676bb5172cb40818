#pragma once

#include <cstddef>

namespace orvane::testing {

/// Counts heap allocations made by the calling thread while alive, through
/// the replaced global operator new of this test executable.
class AllocationCounter {
public:
    AllocationCounter();
    ~AllocationCounter();
    std::size_t count() const;
};

} // namespace orvane::testing
