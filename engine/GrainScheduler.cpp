#include "engine/GrainScheduler.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace orvane {

namespace {
constexpr std::int64_t kShortestSegmentSamples = 8;
constexpr double kShortestSegmentSeconds = 0.005;
/// 20^u spans the 5 ms .. 100 ms range of segment lengths.
constexpr double kSegmentRange = 20.0;
} // namespace

void splitIntoStreams(ChannelState& state, const float* input, float* streams, std::int64_t stride,
                      std::int64_t frameCount, double sampleRate) noexcept {
    if (frameCount < 1) return;
    for (int k = 0; k < 3; ++k) std::fill(streams + k * stride, streams + k * stride + frameCount, 0.0f);

    ChannelState s = state;
    for (std::int64_t j = 0; j < frameCount; ++j) {
        float c;
        if (s.segmentRemaining >= 1) {
            c = s.rising.cosTheta;
        } else {
            s.rngState = s.rngState * 1664525u + 1013904223u;
            const double u = static_cast<double>(s.rngState) / 4294967296.0;
            auto length = static_cast<std::int64_t>(sampleRate * (std::pow(kSegmentRange, u) * kShortestSegmentSeconds));
            if (length < kShortestSegmentSamples) length = kShortestSegmentSamples;
            const double step = std::numbers::pi / static_cast<double>(length);
            const auto sn = static_cast<float>(std::sin(step));
            const auto cs = static_cast<float>(std::cos(step));
            if (s.hasRising) {
                // The outgoing grain restarts at full gain, whatever it had reached.
                s.falling = Grain{s.rising.stream, -1.0f, 0.0f, cs, sn};
                s.hasFalling = true;
            }
            s.rising = Grain{s.nextStream, 1.0f, 0.0f, cs, sn};
            s.hasRising = true;
            s.nextStream = (s.nextStream + 1) % 3;
            c = 1.0f;
            s.segmentRemaining = length;
        }
        s.segmentRemaining -= 1;

        const float raw = input[j];
        const float x = std::isfinite(raw) ? raw : 0.0f;
        streams[s.rising.stream * stride + j] += x * ((1.0f - c) * 0.5f);
        {
            const float cr = s.rising.cosTheta, sr = s.rising.sinTheta;
            s.rising.cosTheta = cr * s.rising.rotC - sr * s.rising.rotS;
            s.rising.sinTheta = cr * s.rising.rotS + sr * s.rising.rotC;
        }
        if (s.hasFalling) {
            const float cf = s.falling.cosTheta, sf = s.falling.sinTheta;
            streams[s.falling.stream * stride + j] += x * ((1.0f - cf) * 0.5f);
            s.falling.cosTheta = cf * s.falling.rotC - sf * s.falling.rotS;
            s.falling.sinTheta = cf * s.falling.rotS + sf * s.falling.rotC;
        }
    }
    state = s;
}

} // namespace orvane
