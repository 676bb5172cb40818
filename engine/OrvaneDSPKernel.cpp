#include "engine/OrvaneDSPKernel.h"

#include "engine/ControlCurves.h"
#include "engine/SoftClipKernels.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <numbers>

namespace orvane {

namespace {
using namespace curves;

constexpr double kTwoPi = 6.283185307179586;
constexpr float kStreamMaxDelaySeconds = 0.5f;
constexpr float kOutputMaxDelaySeconds = 0.25f;
constexpr float kInitialDelaySeconds = 0.25f;
constexpr std::int64_t kFilterBlockBeforeAllocate = 16384;
constexpr std::array<double, 3> kInitialLfoPhases{0.0, 2.0943951023931953, 4.1887902047863905};

constexpr float kSixtyDecibels = 0.001f;
constexpr float kTinyDecaySeconds = 0.000001f;
constexpr double kFilterQ = 1.2;
constexpr double kOutLfoStepL = 1.0681415022205298; // 2 pi x 0.17 Hz
constexpr double kOutLfoStepR = 1.2566370614359172; // 2 pi x 0.2 Hz
/// -2 pi x 5000: the reverberators' damping is a one-pole low-pass at 5 kHz.
constexpr float kDampingCornerRadians = -31415.926f;
constexpr double kLnSixtyDecibels = -6.907755278982137;
/// How much longer than its decay time the reverberation may stay above
/// 60 dB below the input (measured worst case about 1 %).
constexpr double kReverbHeadroom = 1.1;
/// The stretch of quiet a wet tail ends with: a line without feedback stops
/// at once when its delay has passed, and a render cut at the tail's end must
/// hold that stop and some silence after it, not end on it.
constexpr double kTailQuietSeconds = 0.025;

float load(const std::atomic<float>& field) noexcept { return field.load(std::memory_order_relaxed); }

/// The longest smoothed delay among lines, in seconds.
float longestDelay(std::initializer_list<const SimpleDelayKernel*> lines) noexcept {
    double longest = 0.0;
    for (const auto* line : lines) longest = std::max(longest, line->currentDelay);
    return static_cast<float>(longest);
}

SimpleDelayKernel makeDelay(float maxDelay) {
    SimpleDelayKernel delay(maxDelay);
    delay.delaySeconds = kInitialDelaySeconds;
    return delay;
}

/// Feedback loops decay through subnormal numbers after the music stops,
/// which cost x86 processors a hundred times more per operation. While the
/// effect renders, flush them to zero; the caller's mode comes back after.
class FlushDenormals {
public:
#if defined(__SSE__)
    FlushDenormals() noexcept : saved_(__builtin_ia32_stmxcsr()) { __builtin_ia32_ldmxcsr(saved_ | kFlushToZero | kDenormalsAreZero); }
    ~FlushDenormals() { __builtin_ia32_ldmxcsr(saved_); }

private:
    static constexpr unsigned kFlushToZero = 0x8000;
    static constexpr unsigned kDenormalsAreZero = 0x0040;
    unsigned saved_;
#endif
};
} // namespace

OrvaneDSPKernel::OrvaneDSPKernel()
    : streamDelaysL{makeDelay(kStreamMaxDelaySeconds), makeDelay(kStreamMaxDelaySeconds), makeDelay(kStreamMaxDelaySeconds)},
      streamDelaysR{makeDelay(kStreamMaxDelaySeconds), makeDelay(kStreamMaxDelaySeconds), makeDelay(kStreamMaxDelaySeconds)},
      lfoPhases(kInitialLfoPhases),
      filterL(kFilterBlockBeforeAllocate),
      filterR(kFilterBlockBeforeAllocate),
      outDelayL(makeDelay(kOutputMaxDelaySeconds)),
      outDelayR(makeDelay(kOutputMaxDelaySeconds)) {}

void OrvaneDSPKernel::allocate(std::int64_t maximumFrames, double rate) {
    const std::int64_t n = std::max<std::int64_t>(maximumFrames, 0);
    sampleRate = rate;
    maxFrames = n;
    // assign() then shrink_to_fit() frees the old area: a smaller allocation
    // leaves nothing of the larger one behind.
    streamBase.assign(static_cast<std::size_t>(6 * n), 0.0f);
    streamBase.shrink_to_fit();
    wetBase.assign(static_cast<std::size_t>(4 * n), 0.0f);
    wetBase.shrink_to_fit();
    deinterleaveBase.assign(static_cast<std::size_t>(2 * n), 0.0f);
    deinterleaveBase.shrink_to_fit();

    filterL = IIRKernel(n);
    filterR = IIRKernel(n);
    filterL.sampleRate = rate;
    filterR.sampleRate = rate;

    velvetEchoes.configure(static_cast<float>(rate));
    reverbL.allocate(velvetEchoes.loopLength, n);
    reverbR.allocate(velvetEchoes.loopLength, n);
    const float damping = 1.0f - std::exp(kDampingCornerRadians / static_cast<float>(rate));
    reverbL.dampingCoef = damping;
    reverbR.dampingCoef = damping;

    for (auto& d : streamDelaysL) d.allocate(rate);
    for (auto& d : streamDelaysR) d.allocate(rate);
    outDelayL.allocate(rate);
    outDelayR.allocate(rate);

    reset();
}

void OrvaneDSPKernel::reset() {
    stateL = ChannelState{};
    stateR = ChannelState{};
    lfoPhases = kInitialLfoPhases;
    outLFOPhaseL = 0.0;
    outLFOPhaseR = 0.0;
    reverbL.reset();
    reverbR.reset();
    filterL.reset();
    filterR.reset();
    for (auto& d : streamDelaysL) d.reset();
    for (auto& d : streamDelaysR) d.reset();
    outDelayL.reset();
    outDelayR.reset();
    publishHeldDelays();
}

void OrvaneDSPKernel::publishHeldDelays() noexcept {
    const auto& l = streamDelaysL;
    const auto& r = streamDelaysR;
    heldStreamDelaySeconds.store(longestDelay({&l[0], &l[1], &l[2], &r[0], &r[1], &r[2]}), std::memory_order_relaxed);
    heldOutputDelaySeconds.store(longestDelay({&outDelayL, &outDelayR}), std::memory_order_relaxed);
}

void OrvaneDSPKernel::process(const float* inL, const float* inR, float* outL, float* outR,
                              std::int64_t frameCount) noexcept {
    const std::int64_t n = std::min(maxFrames, frameCount);
    if (n < 1 || streamBase.empty() || wetBase.empty()) {
        for (std::int64_t j = 0; j < frameCount; ++j) {
            outL[j] = inL[j];
            outR[j] = inR[j];
        }
        return;
    }
    if (bypass.load(std::memory_order_relaxed)) {
        for (std::int64_t j = 0; j < n; ++j) {
            outL[j] = inL[j];
            outR[j] = inR[j];
        }
        return;
    }
    FlushDenormals flush;
    render(inL, inR, outL, outR, n);
}

void OrvaneDSPKernel::render(const float* inL, const float* inR, float* outL, float* outR, std::int64_t n) noexcept {
    const std::int64_t stride = maxFrames;
    float* streams = streamBase.data();

    // Grains.
    splitIntoStreams(stateL, inL, streams, stride, n, sampleRate);
    splitIntoStreams(stateR, inR, streams + 3 * stride, stride, n, sampleRate);

    // Stream delays, each steered by its own slow LFO.
    const float g = load(granularity);
    const float i = load(incoherence);
    const float fb = streamFeedback(load(impatience));
    const double spread = streamSpreadSeconds(i);
    const double depth = streamDepthSeconds(g);
    for (int k = 0; k < 3; ++k) {
        const double phi = lfoPhases[static_cast<std::size_t>(k)];
        const double sL = std::sin(phi);
        const double sR = std::sin(phi + std::numbers::pi);
        const double dk = static_cast<double>(k);
        SimpleDelayKernel& left = streamDelaysL[static_cast<std::size_t>(k)];
        SimpleDelayKernel& right = streamDelaysR[static_cast<std::size_t>(k)];
        left.setDelaySeconds(static_cast<float>(spread * dk + depth * (sL + 1.0)));
        left.feedback = fb;
        // The right channel takes the spread offsets in reverse order and its
        // LFO in antiphase.
        right.setDelaySeconds(static_cast<float>(spread * (2.0 - dk) + depth * (sR + 1.0)));
        right.feedback = fb;
        left.process(streams + k * stride, n);
        right.process(streams + (3 + k) * stride, n);
        double next = phi + streamLfoHz(i, k) * kTwoPi * static_cast<double>(n) / sampleRate;
        if (next >= kTwoPi) next -= kTwoPi;
        lfoPhases[static_cast<std::size_t>(k)] = next;
    }

    // Wet sum.
    float* wetL = wetBase.data();
    float* wetR = wetL + stride;
    float* verbL = wetL + 2 * stride;
    float* verbR = wetL + 3 * stride;
    for (std::int64_t j = 0; j < n; ++j) wetL[j] = (streams[j] + streams[stride + j]) + streams[2 * stride + j];
    const float* right = streams + 3 * stride;
    for (std::int64_t j = 0; j < n; ++j) wetR[j] = (right[j] + right[stride + j]) + right[2 * stride + j];

    // Reverberation of the wet sum.
    const float gv = clamp01(load(gravitas));
    const float decayTime = reverbDecaySeconds(gv);
    velvetEchoes.setDecay(decayTime);
    const float loopGain = std::pow(kSixtyDecibels, static_cast<float>(velvetEchoes.loopLength) /
                                                        (std::max(decayTime, kTinyDecaySeconds) * velvetEchoes.sampleRate));
    reverbL.feedback = loopGain;
    reverbR.feedback = loopGain;
    std::copy(wetL, wetL + n, verbL);
    std::copy(wetR, wetR + n, verbR);
    reverbL.process(velvetEchoes.left, verbL, n, velvetEchoes.version);
    reverbR.process(velvetEchoes.right, verbR, n, velvetEchoes.version);

    const float a = reverbShare(gv);
    const float b = 1.0f - a;
    for (std::int64_t j = 0; j < n; ++j) wetL[j] = b * wetL[j] + a * verbL[j];
    for (std::int64_t j = 0; j < n; ++j) wetR[j] = b * wetR[j] + a * verbR[j];

    // Filter.
    const double cutoff = filterCutoffHz(gv);
    filterL.setLowpass(cutoff, kFilterQ);
    filterR.setLowpass(cutoff, kFilterQ);
    filterL.process(wetL, n);
    filterR.process(wetR, n);

    // Dry/wet mix; premix is used unclamped.
    const float p = wetShare(load(premix));
    for (std::int64_t j = 0; j < n; ++j) outL[j] = inL[j] + p * (wetL[j] - inL[j]);
    for (std::int64_t j = 0; j < n; ++j) outR[j] = inR[j] + p * (wetR[j] - inR[j]);

    // Output delay, wandering with the output LFOs.
    const float z = outputWanderSeconds(load(nausea));
    outDelayL.setDelaySeconds(z * static_cast<float>((std::sin(outLFOPhaseL) + 1.0) * 0.5));
    outDelayR.setDelaySeconds(z * static_cast<float>((std::sin(outLFOPhaseR) + 1.0) * 0.5));
    outDelayL.process(outL, n);
    outDelayR.process(outR, n);
    publishHeldDelays();

    outLFOPhaseL += kOutLfoStepL * static_cast<double>(n) / sampleRate;
    if (outLFOPhaseL >= kTwoPi) outLFOPhaseL -= kTwoPi;
    outLFOPhaseR += kOutLfoStepR * static_cast<double>(n) / sampleRate;
    if (outLFOPhaseR >= kTwoPi) outLFOPhaseR -= kTwoPi;

    // Soft clip; anything non-finite comes out as silence.
    softClip(outL, n);
    softClip(outR, n);
}

void OrvaneDSPKernel::processInterleaved(float* buffer, std::int64_t frameCount) noexcept {
    const std::int64_t n = std::min(maxFrames, frameCount);
    if (n < 1 || deinterleaveBase.empty()) return;
    float* left = deinterleaveBase.data();
    float* right = left + maxFrames;
    for (std::int64_t j = 0; j < n; ++j) {
        left[j] = buffer[2 * j];
        right[j] = buffer[2 * j + 1];
    }
    process(left, right, left, right, n);
    for (std::int64_t j = 0; j < n; ++j) {
        buffer[2 * j] = left[j];
        buffer[2 * j + 1] = right[j];
    }
}

double OrvaneDSPKernel::tailTime() const noexcept {
    double t = 0.0;
    if (load(premix) > 0.0f) {
        const double g = clamp01(load(granularity));
        const double i = clamp01(load(incoherence));
        // The longest stream delay the settings ask for, or the longest a line
        // still holds while it glides there from a longer one.
        const double d = std::max(0.05 * (g * g) + 0.06 * (i * i), static_cast<double>(load(heldStreamDelaySeconds)));
        if (d > 0.0) {
            const double f = static_cast<double>(clamp01(load(impatience))) * 0.975;
            // With feedback the streams build up to 1/(1 - f) of the input
            // before they start to fall, so falling 60 dB below the input
            // takes ln(1 - f) / ln(f) passes more than the fall alone.
            t = f > 0.0 ? d * (kLnSixtyDecibels + std::log(1.0 - f)) / std::log(f) : d;
        }
        const float grav = load(gravitas);
        // The reverberation's own 60 dB fall, plus a tenth for how far its
        // echoes can rise above the input before they fall.
        if (grav > 0.0f)
            t = t + kReverbHeadroom * static_cast<double>(std::pow(kDecayBase, std::min(grav, 1.0f)) * kShortestDecaySeconds);
        t = t + kTailQuietSeconds;
    }
    const double wander = static_cast<double>(clamp01(load(nausea))) * static_cast<double>(kMaxOutputDelaySeconds);
    return t + std::max(wander, static_cast<double>(load(heldOutputDelaySeconds)));
}

} // namespace orvane
