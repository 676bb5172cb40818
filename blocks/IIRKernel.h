#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace orvane {

/// Second-order low-pass (biquad) for one channel, filtering float blocks in
/// place. The last two inputs and outputs of each block are carried into the
/// next, so a signal cut into blocks of any size is filtered as one long block.
/// Coefficients follow the cookbook low-pass design, cutoff capped at 0.45 of
/// the sample rate.
class IIRKernel {
public:
    /// Builds work buffers for blocks of up to maxBlock frames.
    explicit IIRKernel(std::int64_t maxBlock);

    /// Redesigns the coefficients; the carried samples are kept, so moving
    /// the cutoff between blocks does not restart the filter. Render thread.
    void setLowpass(double cutoff, double q);

    /// Filters the first min(frameCount, maxFrames - 2) samples in place.
    void process(float* samples, std::int64_t frameCount) noexcept;

    /// Clears the carried samples; coefficients and sample rate stay.
    void reset() noexcept;

    /// b0, b1, b2, a1, a2, normalised so that a0 = 1.
    std::array<float, 5> coefficients{};
    /// Last two inputs and outputs of the previous block, older first.
    std::array<float, 2> carryIn{};
    std::array<float, 2> carryOut{};
    /// Work areas: the two carried samples followed by the block.
    std::vector<float> inBuf;
    std::vector<float> outBuf;
    /// Length of both work areas: the largest block plus 2.
    std::int64_t maxFrames = 2;
    double sampleRate = 44100.0;
};

} // namespace orvane
