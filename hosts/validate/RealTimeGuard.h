#pragma once

#include <cstdint>

namespace orvane::validate {

/// What the calling thread did while a guard was armed: heap allocations and
/// frees, mutex operations and system calls, as seen by the validator's
/// interposers on malloc, free, operator new and delete, the pthread mutex
/// calls and the common system-call wrappers.
struct RealTimeViolations {
    std::uint64_t allocations = 0;
    std::uint64_t frees = 0;
    std::uint64_t locks = 0;
    std::uint64_t systemCalls = 0;

    bool any() const { return allocations || frees || locks || systemCalls; }
};

/// Arms the interposers for the calling thread while alive; other threads are
/// never counted. Not nestable.
class RealTimeGuard {
public:
    RealTimeGuard();
    ~RealTimeGuard();
    RealTimeGuard(const RealTimeGuard&) = delete;
    RealTimeGuard& operator=(const RealTimeGuard&) = delete;

    RealTimeViolations violations() const;
};

/// False in builds whose sanitizers replace the allocator themselves: the
/// guard then counts nothing and the check says so.
bool realTimeGuardAvailable();

} // namespace orvane::validate
