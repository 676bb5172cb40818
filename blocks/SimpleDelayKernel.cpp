#include "blocks/SimpleDelayKernel.h"

#include <algorithm>
#include <cmath>

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

// Eight delay lines per block walk this loop sample by sample. The
// x86-64-v3 clone floors with one rounding instruction instead of a
// compare-and-branch sequence; floor is exact and contraction is off, so both
// clones give the same bits.
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

    for (std::int64_t i = 0; i < n; ++i) {
        const float v = x[i];
        // Nothing non-finite may settle in the line: it would circulate for good.
        buf[w] = std::isfinite(v) ? v : 0.0f;
        d = k + d * s;
        const double r = static_cast<double>(w) - d;
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
        if (fb > 0.0f) {
            const float back = v + fb * y;
            buf[w] = std::isfinite(back) ? back : 0.0f;
        }
        x[i] = y;
        w = w + 1 == len ? 0 : w + 1;
    }

    writePos = w;
    currentDelay = d / rate;
}

} // namespace orvane
