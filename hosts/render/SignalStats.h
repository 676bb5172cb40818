#pragma once

#include <cstdint>
#include <span>

namespace orvane::render {

/// Peak and RMS level of a stereo signal, accumulated block by block so that
/// a render never needs the whole signal at once. Levels are taken over both
/// channels together and reported in dBFS, where 1.0 is full scale: a
/// full-scale sine has peak 0 dBFS and RMS -3.01 dBFS; silence and an empty
/// signal are -infinity.
class SignalStats {
public:
    void add(std::span<const float> left, std::span<const float> right);

    double peak() const { return peak_; }
    /// Root mean square over every sample of both channels.
    double rms() const;
    double peakDbfs() const;
    double rmsDbfs() const;
    /// Samples that were NaN or infinite; they count in neither level.
    std::int64_t nonFiniteSamples() const { return nonFinite_; }
    std::int64_t frames() const { return frames_; }

private:
    friend class ContinuousSignalStats;

    double peak_ = 0.0;
    double sumOfSquares_ = 0.0;
    std::int64_t samples_ = 0;
    std::int64_t frames_ = 0;
    std::int64_t nonFinite_ = 0;
};

/// Levels of one signal that arrives in pieces, summed exactly as
/// SignalStats::add sums it when given whole in a single call: each channel's
/// squares in one running sum, the two sums joined at the end. The renderer
/// streams its input yet reports the same input levels, to the last bit, as
/// when it held the whole file.
class ContinuousSignalStats {
public:
    void add(std::span<const float> left, std::span<const float> right);
    /// The levels of everything added so far.
    SignalStats stats() const;

private:
    /// One channel's running peak, sum of squares and non-finite count.
    struct Channel {
        double peak = 0.0;
        double sumOfSquares = 0.0;
        std::int64_t nonFinite = 0;

        void add(std::span<const float> samples);
    };

    Channel left_;
    Channel right_;
    std::int64_t samples_ = 0;
    std::int64_t frames_ = 0;
};

/// 20 log10(amplitude); -infinity for 0.
double amplitudeToDbfs(double amplitude);

} // namespace orvane::render
