#include "hosts/render/SignalStats.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvane::render {
namespace {

/// Adds the squares of the finite samples to `sum` in order, raising `peak`
/// and counting the samples that are not finite.
double addSquares(std::span<const float> samples, double sum, double& peak, std::int64_t& nonFinite)
{
    for (const float sample : samples) {
        const double value = sample;
        if (!std::isfinite(value)) {
            ++nonFinite;
            continue;
        }
        peak = std::max(peak, std::abs(value));
        sum += value * value;
    }
    return sum;
}

struct Accumulator {
    double peak;
    double sumOfSquares;
    std::int64_t nonFinite;

    void add(std::span<const float> samples)
    {
        // A block's squares are summed in double from a fresh start and then
        // added to the total, which keeps rounding small on long files.
        sumOfSquares += addSquares(samples, 0.0, peak, nonFinite);
    }
};

} // namespace

void SignalStats::add(std::span<const float> left, std::span<const float> right)
{
    Accumulator accumulator{peak_, sumOfSquares_, nonFinite_};
    accumulator.add(left);
    accumulator.add(right);
    peak_ = accumulator.peak;
    sumOfSquares_ = accumulator.sumOfSquares;
    samples_ += static_cast<std::int64_t>(left.size() + right.size()) - (accumulator.nonFinite - nonFinite_);
    nonFinite_ = accumulator.nonFinite;
    frames_ += static_cast<std::int64_t>(std::max(left.size(), right.size()));
}

double SignalStats::rms() const
{
    return samples_ > 0 ? std::sqrt(sumOfSquares_ / double(samples_)) : 0.0;
}

double SignalStats::peakDbfs() const
{
    return amplitudeToDbfs(peak_);
}

double SignalStats::rmsDbfs() const
{
    return amplitudeToDbfs(rms());
}

void ContinuousSignalStats::Channel::add(std::span<const float> samples)
{
    // The running sum is carried from one piece to the next instead of
    // restarted, so pieces sum as the whole file would.
    sumOfSquares = addSquares(samples, sumOfSquares, peak, nonFinite);
}

void ContinuousSignalStats::add(std::span<const float> left, std::span<const float> right)
{
    left_.add(left);
    right_.add(right);
    samples_ += static_cast<std::int64_t>(left.size() + right.size());
    frames_ += static_cast<std::int64_t>(std::max(left.size(), right.size()));
}

SignalStats ContinuousSignalStats::stats() const
{
    // What SignalStats::add computes from the whole of both channels: the
    // left channel's sum added to the (zero) total, then the right's.
    SignalStats stats;
    stats.peak_ = std::max(left_.peak, right_.peak);
    stats.sumOfSquares_ = (0.0 + left_.sumOfSquares) + right_.sumOfSquares;
    stats.nonFinite_ = left_.nonFinite + right_.nonFinite;
    stats.frames_ = frames_;
    stats.samples_ = samples_ - stats.nonFinite_;
    return stats;
}

double amplitudeToDbfs(double amplitude)
{
    if (!(amplitude > 0.0))
        return -std::numeric_limits<double>::infinity();
    return 20.0 * std::log10(amplitude);
}

} // namespace orvane::render
