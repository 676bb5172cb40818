#pragma once

#include <cstdint>
#include <memory>

namespace oracle {

/// The engine built with the loops of tests/support/PlainLoops.h in place of
/// its vector kernels (in a namespace of its own, beside the product's):
/// with the plain loops (PlainEngine), the listed-order computation the
/// product is held to; with the double-precision reverberator
/// (DoubleEngine), what both are measured against.
template <int Kind>
class Engine {
public:
    /// Echo seeds seed and seed + 1, as testing::makeKernel sets them.
    Engine(std::uint32_t seed, std::int64_t maxFrames, double rate);
    ~Engine();
    /// premix, granularity, incoherence, impatience, nausea, gravitas.
    void set(const float (&parameters)[6]);
    void process(const float* inL, const float* inR, float* outL, float* outR, std::int64_t frames);

private:
    struct Kernel;
    std::unique_ptr<Kernel> kernel_;
};

using PlainEngine = Engine<0>;
using DoubleEngine = Engine<1>;

} // namespace oracle
