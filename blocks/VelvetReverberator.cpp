#include "blocks/VelvetReverberator.h"

#include "blocks/VelvetReverberatorKernels.h"

#include <algorithm>
#include <cmath>

namespace orvane {

namespace {
/// Input gain of every tap; keeps the dense tail near the level of its input.
constexpr float kTapGain = 0.09f;

} // namespace

void VelvetReverberator::allocate(std::int64_t loop, std::int64_t maxBlock) {
    loopLength = loop;
    bufferSize = loop > 0 ? std::max(2 * loop, loop + std::max<std::int64_t>(maxBlock, 0)) : 0;
    buffer.assign(static_cast<std::size_t>(bufferSize), 0.0f);
    buffer.shrink_to_fit();
    scratch.assign(loop > 0 && maxBlock > 0 ? reverberatorScratchSize(maxBlock) : 0, 0.0f);
    scratch.shrink_to_fit();
    tiledTaps.assign(scratch.empty() ? 0 : static_cast<std::size_t>(VelvetEchoes::kEchoCount), TiledTap{});
    tiledTaps.shrink_to_fit();
    readPos = 0;
    feedbackPos = loop;
}

void VelvetReverberator::reset() noexcept {
    std::fill(buffer.begin(), buffer.end(), 0.0f);
    readPos = 0;
    feedbackPos = loopLength;
    dampingState = 0.0f;
}

void VelvetReverberator::process(const std::vector<VelvetEcho>& echoes, float* x, std::int64_t n) noexcept {
    if (bufferSize < 1 || n < 1) return;
    // The taps of one block reach up to a loop plus a block ahead of the read
    // position; a longer block than the buffer allows is rendered in pieces
    // rather than overwriting tail that has not been read yet.
    const std::int64_t longest = std::max<std::int64_t>(bufferSize - loopLength, 1);
    while (n > longest) {
        processBlock(echoes, x, longest);
        x += longest;
        n -= longest;
    }
    processBlock(echoes, x, n);
}

void VelvetReverberator::processBlock(const std::vector<VelvetEcho>& echoes, float* x, std::int64_t n) noexcept {
    const std::int64_t size = bufferSize;
    float* buf = buffer.data();

    // Spread the whole block over the taps before reading anything out: this
    // is what lets the output overwrite the input in place.
    spreadOverTaps(buf, size, readPos, echoes.data(), echoes.size(), kTapGain, x, n, scratch, tiledTaps);

    const float c = dampingCoef;
    const float fb = feedback;
    float damp = dampingState;
    std::int64_t r = readPos;
    std::int64_t f = feedbackPos;
    for (std::int64_t i = 0; i < n; ++i) {
        float y = buf[r];
        // A non-finite sample is read out as silence so that it never reaches
        // the damping state and the loop.
        if (!std::isfinite(y)) y = 0.0f;
        x[i] = y;
        buf[r] = 0.0f;
        damp = (1.0f - c) * damp + c * y;
        buf[f] += fb * damp;
        r = r + 1 == size ? 0 : r + 1;
        f = f + 1 == size ? 0 : f + 1;
    }
    dampingState = damp;
    readPos = r;
    feedbackPos = f;
}

} // namespace orvane
