#include "blocks/IIRKernel.h"

#include <algorithm>
#include <cmath>

namespace orvane {

namespace {
constexpr double kTwoPi = 6.283185307179586;
constexpr double kMaxCutoffRatio = 0.45;

float finiteOrZero(float v) noexcept { return std::isfinite(v) ? v : 0.0f; }
} // namespace

IIRKernel::IIRKernel(std::int64_t maxBlock)
    : inBuf(static_cast<std::size_t>(std::max<std::int64_t>(maxBlock, 0) + 2), 0.0f),
      outBuf(inBuf.size(), 0.0f),
      maxFrames(std::max<std::int64_t>(maxBlock, 0) + 2) {}

void IIRKernel::setLowpass(double cutoff, double q) {
    double fc = cutoff;
    if (kMaxCutoffRatio * sampleRate < cutoff) fc = kMaxCutoffRatio * sampleRate;
    const double w = fc * kTwoPi / sampleRate;
    const double sn = std::sin(w);
    const double cs = std::cos(w);
    const double alpha = sn / (q + q);
    const double a0 = 1.0 + alpha;
    const double b0 = (1.0 - cs) * 0.5 / a0;
    const double b1 = (1.0 - cs) / a0;
    const double a1 = -2.0 * cs / a0;
    const double a2 = (1.0 - alpha) / a0;
    coefficients = {static_cast<float>(b0), static_cast<float>(b1), static_cast<float>(b0),
                    static_cast<float>(a1), static_cast<float>(a2)};
}

void IIRKernel::process(float* x, std::int64_t count) noexcept {
    const std::int64_t n = std::min(count, maxFrames - 2);
    if (n < 1) return;

    float* in = inBuf.data();
    float* out = outBuf.data();
    in[0] = carryIn[0];
    in[1] = carryIn[1];
    std::copy(x, x + n, in + 2);
    out[0] = carryOut[0];
    out[1] = carryOut[1];

    const float b0 = coefficients[0], b1 = coefficients[1], b2 = coefficients[2];
    const float a1 = coefficients[3], a2 = coefficients[4];
    for (std::int64_t j = 2; j < n + 2; ++j) {
        out[j] = b0 * in[j] + b1 * in[j - 1] + b2 * in[j - 2] - a1 * out[j - 1] - a2 * out[j - 2];
    }

    // A non-finite sample spoils only its own block: the carries restart clean.
    carryIn = {finiteOrZero(in[n]), finiteOrZero(in[n + 1])};
    carryOut = {finiteOrZero(out[n]), finiteOrZero(out[n + 1])};
    std::copy(out + 2, out + n + 2, x);
}

void IIRKernel::reset() noexcept {
    carryIn = {0.0f, 0.0f};
    carryOut = {0.0f, 0.0f};
}

} // namespace orvane
