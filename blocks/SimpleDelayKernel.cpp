#include "blocks/SimpleDelayKernel.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace orvane {

SimpleDelayKernel::SimpleDelayKernel(float maxDelay) : maxDelaySec(maxDelay) {}

void SimpleDelayKernel::setDelaySeconds(float seconds) noexcept {
    delaySeconds = seconds;
    const float longest = static_cast<float>(bufferLength - 1) / sampleRate;
    targetDelay = static_cast<double>(longest < seconds ? longest : seconds);
}

void SimpleDelayKernel::allocate(double rate) {
    setDelaySeconds(0.0f);
    sampleRate = static_cast<float>(rate);
    bufferLength = static_cast<std::int64_t>(std::ceil(rate * static_cast<double>(maxDelaySec))) + 1;
    buffer.assign(static_cast<std::size_t>(bufferLength), 0.0f);
    buffer.shrink_to_fit();
    writePos = 0;
    currentDelay = targetDelay = static_cast<double>(delaySeconds);
}

void SimpleDelayKernel::reset() noexcept {
    std::fill(buffer.begin(), buffer.end(), 0.0f);
    writePos = 0;
    currentDelay = targetDelay;
}

namespace {
/// Samples taken together when the line allows it.
constexpr std::int64_t kGroup = 8;

typedef double Doubles __attribute__((vector_size(4 * sizeof(double))));
typedef std::int32_t Ints __attribute__((vector_size(4 * sizeof(std::int32_t))));
typedef float Floats __attribute__((vector_size(4 * sizeof(float))));
typedef float Lanes __attribute__((vector_size(kGroup * sizeof(float))));
typedef std::int32_t LaneBits __attribute__((vector_size(kGroup * sizeof(std::int32_t))));

inline float finiteOrSilence(float v) noexcept { return std::isfinite(v) ? v : 0.0f; }

// The helpers take their vectors by reference: passing them by value would
// change with the instruction set between the clones below.
inline void silenceNonFinite(Lanes& v) noexcept {
    LaneBits bits;
    std::memcpy(&bits, &v, sizeof bits);
    v = (bits & 0x7fffffff) < 0x7f800000 ? v : Lanes{};
}

/// floor for values within the 32-bit integers, as std::floor gives it
/// (never asked of -0: a difference of two equal values is +0); anything
/// else comes out below -2^31.
inline void floorWithin32Bits(const Doubles& r, Doubles& f) noexcept {
    const Doubles t = __builtin_convertvector(__builtin_convertvector(r, Ints), Doubles);
    f = r < t ? t - 1.0 : t;
}
} // namespace

// Eight delay lines per block walk this loop. The glide is a recurrence in
// double that must run sample by sample; everything else is done eight
// samples at a time where the reads and writes of those eight cannot meet,
// with each sample's operations exactly those of the one-sample step, so
// both give the same bits. Contraction is off, so the x86-64-v3 clone, with
// wider registers, gives the same bits too.
#if defined(__x86_64__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("arch=x86-64-v3", "default")))
#endif
void SimpleDelayKernel::process(float* x, std::int64_t n) noexcept {
    if (bufferLength < 1 || n < 1) return;

    const std::int64_t len = bufferLength;
    float* buf = buffer.data();
    const double s = static_cast<double>(smoothing);
    const double rate = static_cast<double>(sampleRate);
    const double target = targetDelay * rate;
    const double k = (1.0 - s) * target;
    const float fb = feedback;
    double d = currentDelay * rate;
    std::int64_t w = writePos;

    // The glide: a recurrence in double, one step per sample.
    auto glide = [&] { return d = k + d * s; };

    // One sample at its glided delay: write the input, read between two
    // samples, feed back.
    auto step = [&](std::int64_t i, double delay) {
        const float v = x[i];
        // Nothing non-finite may settle in the line: it would circulate for good.
        buf[w] = finiteOrSilence(v);
        const double r = static_cast<double>(w) - delay;
        const double f = std::floor(r);
        const std::int64_t i0 = static_cast<std::int64_t>(f);
        const float frac = static_cast<float>(r - f);
        // The read index wraps into 0 .. len-1 for any i0; the common case
        // (within one buffer length either side) avoids the divisions.
        std::int64_t a;
        if (i0 >= 0 && i0 < len) a = i0;
        else if (i0 < 0 && i0 >= -len) a = i0 + len;
        else a = ((i0 % len) + len) % len;
        const std::int64_t b = a + 1 == len ? 0 : a + 1;
        const float y = (1.0f - frac) * buf[a] + buf[b] * frac;
        if (fb > 0.0f) buf[w] = finiteOrSilence(v + fb * y);
        x[i] = y;
        w = w + 1 == len ? 0 : w + 1;
    };

    // Read indices of eight samples fit 32 bits with room to spare.
    const bool groups = len < (std::int64_t{1} << 30);
    const Doubles firstFour = {0.0, 1.0, 2.0, 3.0};
    std::int64_t i = 0;
    while (i < n) {
        if (!groups || n - i < kGroup || len - w < kGroup) {
            // The end of the block, or writes that would wrap.
            step(i, glide());
            ++i;
            continue;
        }
        double delays[kGroup];
        for (double& delay : delays) delay = glide();
        Doubles dLo, dHi;
        std::memcpy(&dLo, delays, sizeof dLo);
        std::memcpy(&dHi, delays + 4, sizeof dHi);
        const Doubles wLo = static_cast<double>(w) + firstFour;
        const Doubles wHi = wLo + 4.0;
        const Doubles rLo = wLo - dLo, rHi = wHi - dHi;
        Doubles fLo, fHi;
        floorWithin32Bits(rLo, fLo);
        floorWithin32Bits(rHi, fHi);
        // Together only when the eight read one run of nine samples that
        // neither wraps nor touches the eight written, so that reading all
        // before writing any gives what sample-by-sample order gives.
        const double f0 = fLo[0];
        const auto run = (fLo == f0 + firstFour) & (fHi == f0 + 4.0 + firstFour);
        bool together = run[0] && run[1] && run[2] && run[3] && f0 >= static_cast<double>(-len) &&
                        f0 < static_cast<double>(len);
        std::int64_t a = 0;
        if (together) {
            const auto i0 = static_cast<std::int64_t>(f0);
            a = i0 < 0 ? i0 + len : i0;
            together = a + kGroup < len && (a + kGroup < w || a >= w + kGroup);
        }
        if (!together) {
            for (std::int64_t j = 0; j < kGroup; ++j) step(i + j, delays[j]);
            i += kGroup;
            continue;
        }
        const Lanes frac = __builtin_shufflevector(__builtin_convertvector(rLo - fLo, Floats),
                                                   __builtin_convertvector(rHi - fHi, Floats), 0, 1, 2, 3, 4, 5, 6, 7);
        Lanes here, next, in;
        std::memcpy(&here, buf + a, sizeof here);
        std::memcpy(&next, buf + a + 1, sizeof next);
        std::memcpy(&in, x + i, sizeof in);
        const Lanes y = (1.0f - frac) * here + next * frac;
        Lanes written = fb > 0.0f ? in + fb * y : in;
        silenceNonFinite(written);
        std::memcpy(buf + w, &written, sizeof written);
        std::memcpy(x + i, &y, sizeof y);
        w = w + kGroup == len ? 0 : w + kGroup;
        i += kGroup;
    }

    writePos = w;
    currentDelay = d / rate;
}

} // namespace orvane
