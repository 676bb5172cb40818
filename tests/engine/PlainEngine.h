#pragma once

#include <cstdint>
#include <memory>

namespace oracle {

/// The engine built with the plain loops of tests/support/PlainLoops.h in
/// place of its vector kernels (in a namespace of its own, beside the
/// product's): the listed-order computation the product is held to.
class PlainEngine {
public:
    /// Echo seeds seed and seed + 1, as testing::makeKernel sets them.
    PlainEngine(std::uint32_t seed, std::int64_t maxFrames, double rate);
    ~PlainEngine();
    /// premix, granularity, incoherence, impatience, nausea, gravitas.
    void set(const float (&parameters)[6]);
    void process(const float* inL, const float* inR, float* outL, float* outR, std::int64_t frames);

private:
    struct Kernel;
    std::unique_ptr<Kernel> kernel_;
};

} // namespace oracle
