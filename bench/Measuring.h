#pragma once

// What the measuring programs share: the clock they time with and the
// settings they measure the engine at.

#include <time.h>

#include <cstdint>

namespace orvane_bench {

/// CPU time of the calling thread, in seconds: what a render costs, whatever
/// else the machine is doing.
inline double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

/// Sets a kernel up as every engine measurement runs it: fixed echo
/// patterns, every knob at 0.5 and gravitas at 1 (the reverberation fully
/// on). A template, so that two builds of the engine in one program (each
/// in its own namespace) can share it.
template <class Kernel>
void setUpForMeasuring(Kernel& kernel, std::int64_t block, double rate) {
    kernel.velvetEchoes.rngL = 1;
    kernel.velvetEchoes.rngR = 2;
    kernel.allocate(block, rate);
    kernel.premix = 0.5f;
    kernel.granularity = 0.5f;
    kernel.incoherence = 0.5f;
    kernel.impatience = 0.5f;
    kernel.nausea = 0.5f;
    kernel.gravitas = 1.0f;
}

} // namespace orvane_bench
