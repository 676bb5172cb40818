#pragma once

// The effect's vector kernels written as plain loops in the listed order,
// one rounding per product and per sum: the reference every vector path is
// held to (within 1e-4). Beside them the reverberator in double precision,
// against which the product must be no less accurate than the plain loops.
// Header-only, so that the engine's oracle builds (tests/engine/plain and
// tests/engine/double) can put them in place of the kernels.

#include "blocks/VelvetEchoes.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace orvane {

/// The velvet reverberator as plain loops: every tap over the whole block in
/// list order, then the read-out. Same fields, sizes and block splitting as
/// VelvetReverberator.
class PlainVelvetReverberator {
public:
    void allocate(std::int64_t loop, std::int64_t maxBlock = 0) {
        loopLength = loop;
        bufferSize = loop > 0 ? std::max(2 * loop, loop + std::max<std::int64_t>(maxBlock, 0)) : 0;
        buffer.assign(static_cast<std::size_t>(bufferSize), 0.0f);
        readPos = 0;
        feedbackPos = loop;
    }
    void reset() noexcept {
        std::fill(buffer.begin(), buffer.end(), 0.0f);
        readPos = 0;
        feedbackPos = loopLength;
        dampingState = 0.0f;
    }
    void process(const std::vector<VelvetEcho>& echoes, float* x, std::int64_t n, std::uint64_t = 0) noexcept {
        if (bufferSize < 1 || n < 1) return;
        const std::int64_t longest = std::max<std::int64_t>(bufferSize - loopLength, 1);
        for (std::int64_t at = 0; at < n; at += longest) processBlock(echoes, x + at, std::min(longest, n - at));
    }

    float feedback = 0.0f;
    float dampingCoef = 1.0f;
    float dampingState = 0.0f;
    std::vector<float> buffer;
    std::int64_t bufferSize = 0;
    std::int64_t loopLength = 0;
    std::int64_t readPos = 0;
    std::int64_t feedbackPos = 0;

private:
    void processBlock(const std::vector<VelvetEcho>& echoes, float* x, std::int64_t n) noexcept {
        const std::int64_t size = bufferSize;
        float* buf = buffer.data();
        for (const VelvetEcho& e : echoes) {
            std::int64_t start = readPos + e.position;
            if (start >= size) start -= size;
            const float g = e.amplitude * 0.09f;
            // One contiguous run up to the end of the buffer, the rest from
            // its start.
            const std::int64_t first = std::min(n, size - start);
            for (std::int64_t i = 0; i < first; ++i) buf[start + i] += g * x[i];
            for (std::int64_t i = first; i < n; ++i) buf[i - first] += g * x[i];
        }
        for (std::int64_t i = 0; i < n; ++i) {
            float y = buffer[static_cast<std::size_t>(readPos)];
            if (!std::isfinite(y)) y = 0.0f;
            x[i] = y;
            buffer[static_cast<std::size_t>(readPos)] = 0.0f;
            dampingState = (1.0f - dampingCoef) * dampingState + dampingCoef * y;
            buffer[static_cast<std::size_t>(feedbackPos)] += feedback * dampingState;
            readPos = readPos + 1 == size ? 0 : readPos + 1;
            feedbackPos = feedbackPos + 1 == size ? 0 : feedbackPos + 1;
        }
    }
};

/// The velvet reverberator with its buffer, taps and loop in double
/// precision (gains the exact products of the float amplitudes and 0.09):
/// the same signal as PlainVelvetReverberator, rounded to float only on the
/// way out.
class DoubleVelvetReverberator {
public:
    void allocate(std::int64_t loop, std::int64_t maxBlock = 0) {
        loopLength = loop;
        bufferSize = loop > 0 ? std::max(2 * loop, loop + std::max<std::int64_t>(maxBlock, 0)) : 0;
        buffer.assign(static_cast<std::size_t>(bufferSize), 0.0);
        readPos = 0;
        feedbackPos = loop;
    }
    void reset() noexcept {
        std::fill(buffer.begin(), buffer.end(), 0.0);
        readPos = 0;
        feedbackPos = loopLength;
        dampingState = 0.0;
    }
    void process(const std::vector<VelvetEcho>& echoes, float* x, std::int64_t n, std::uint64_t = 0) noexcept {
        if (bufferSize < 1 || n < 1) return;
        const std::int64_t longest = std::max<std::int64_t>(bufferSize - loopLength, 1);
        for (std::int64_t at = 0; at < n; at += longest) processBlock(echoes, x + at, std::min(longest, n - at));
    }

    float feedback = 0.0f;
    float dampingCoef = 1.0f;
    double dampingState = 0.0;
    std::vector<double> buffer;
    std::int64_t bufferSize = 0;
    std::int64_t loopLength = 0;
    std::int64_t readPos = 0;
    std::int64_t feedbackPos = 0;

private:
    void processBlock(const std::vector<VelvetEcho>& echoes, float* x, std::int64_t n) noexcept {
        const std::int64_t size = bufferSize;
        for (const VelvetEcho& e : echoes) {
            std::int64_t start = readPos + e.position;
            if (start >= size) start -= size;
            const double g = static_cast<double>(e.amplitude) * static_cast<double>(0.09f);
            double* buf = buffer.data();
            const std::int64_t first = std::min(n, size - start);
            for (std::int64_t i = 0; i < first; ++i) buf[start + i] += g * static_cast<double>(x[i]);
            for (std::int64_t i = first; i < n; ++i) buf[i - first] += g * static_cast<double>(x[i]);
        }
        const double c = dampingCoef;
        for (std::int64_t i = 0; i < n; ++i) {
            double y = buffer[static_cast<std::size_t>(readPos)];
            if (!std::isfinite(static_cast<float>(y))) y = 0.0;
            x[i] = static_cast<float>(y);
            buffer[static_cast<std::size_t>(readPos)] = 0.0;
            dampingState = (1.0 - c) * dampingState + c * y;
            buffer[static_cast<std::size_t>(feedbackPos)] += static_cast<double>(feedback) * dampingState;
            readPos = readPos + 1 == size ? 0 : readPos + 1;
            feedbackPos = feedbackPos + 1 == size ? 0 : feedbackPos + 1;
        }
    }
};

/// The soft clip as a plain loop: the C library's tanh, non-finite samples
/// as 0.
inline void plainSoftClip(float* x, std::int64_t n) noexcept {
    for (std::int64_t j = 0; j < n; ++j) x[j] = std::isfinite(x[j]) ? std::tanh(x[j]) : 0.0f;
}

} // namespace orvane
