#include "blocks/VelvetReverberator.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace orvane {

namespace {
/// Input gain of every tap; keeps the dense tail near the level of its input.
constexpr float kTapGain = 0.09f;

/// Width of the register tile of the tiled tap loop: eight vectors of eight.
constexpr std::int64_t kLanes = 8;
constexpr std::int64_t kTileVectors = 8;
constexpr std::int64_t kTile = kLanes * kTileVectors;
/// Below this many frames a block reaches each buffer sample with too few
/// taps for tiles to pay.
constexpr std::int64_t kShortestTiledBlock = 128;

typedef float Lanes __attribute__((vector_size(kLanes * sizeof(float))));

// The hot loops of the whole effect: 1000 taps x frames x 2 channels. An
// x86-64-v3 clone widens them to eight lanes; contraction is off, so both
// clones round identically.
#if defined(__x86_64__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define ORVANE_HOT_LOOP __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define ORVANE_HOT_LOOP
#endif

// The plain tap loop: each tap's block is one contiguous run unless it
// crosses the end of the buffer.
ORVANE_HOT_LOOP
void spreadOverTaps(float* __restrict buf, std::int64_t size, std::int64_t readPos, const VelvetEcho* echoes,
                    std::size_t echoCount, const float* __restrict x, std::int64_t n) noexcept {
    for (std::size_t t = 0; t < echoCount; ++t) {
        std::int64_t start = readPos + echoes[t].position;
        if (start >= size) start -= size;
        const float g = echoes[t].amplitude * kTapGain;
        const std::int64_t first = std::min(n, size - start);
        float* dst = buf + start;
        for (std::int64_t i = 0; i < first; ++i) dst[i] += g * x[i];
        for (std::int64_t i = first; i < n; ++i) buf[i - first] += g * x[i];
    }
}

/// Adds taps [tBegin, tEnd) into the kTile samples at tile, whose first
/// sample lies p samples past the read position. The two inputs are the
/// block's samples between kTile samples of padding either side, -0 for
/// taps whose gain has its sign bit clear, +0 for the others.
inline __attribute__((always_inline)) void addTapsToTile(float* tile, std::int64_t p, const VelvetEcho* echoes,
                                                        std::size_t tBegin, std::size_t tEnd,
                                                        const float* xMinusZero, const float* xPlusZero) noexcept {
    Lanes acc[kTileVectors];
#pragma GCC unroll 8
    for (std::int64_t j = 0; j < kTileVectors; ++j) std::memcpy(&acc[j], tile + j * kLanes, sizeof(Lanes));
    for (std::size_t t = tBegin; t < tEnd; ++t) {
        const float g = echoes[t].amplitude * kTapGain;
        // Lane k of the tile receives sample k + p - position of the block.
        // Lanes outside the block meet the padding, whose product with the
        // gain is -0, and adding -0 leaves every float as it is when rounding
        // to nearest. The gain has the sign of the amplitude.
        const float* src = (std::signbit(echoes[t].amplitude) ? xPlusZero : xMinusZero) + (p - echoes[t].position);
#pragma GCC unroll 8
        for (std::int64_t j = 0; j < kTileVectors; ++j) {
            Lanes v;
            std::memcpy(&v, src + j * kLanes, sizeof(Lanes));
            acc[j] = acc[j] + g * v;
        }
    }
#pragma GCC unroll 8
    for (std::int64_t j = 0; j < kTileVectors; ++j) std::memcpy(tile + j * kLanes, &acc[j], sizeof(Lanes));
}

// The tap loop turned inside out: a tile of buffer samples stays in
// registers while every tap that reaches it adds its part, so the buffer is
// read and written once per block instead of once per tap. Each buffer
// sample still receives its taps in tap order, so the sums are bit for bit
// those of the plain loop. Needs taps sorted by position and a reach shorter
// than the buffer.
ORVANE_HOT_LOOP
void spreadOverTiles(float* __restrict buf, std::int64_t size, std::int64_t readPos, const VelvetEcho* echoes,
                     std::size_t echoCount, const float* xMinusZero, const float* xPlusZero, std::int64_t n) noexcept {
    const std::int64_t lo = echoes[0].position;
    const std::int64_t hi = echoes[echoCount - 1].position + n;
    std::int64_t phys = readPos + lo;
    if (phys >= size) phys -= size;
    std::size_t tBegin = 0, tEnd = 0;
    for (std::int64_t v = lo; v < hi;) {
        // One contiguous run of the buffer, up to its end or the reach's.
        const std::int64_t run = std::min(hi - v, size - phys);
        float* dst = buf + phys;
        for (std::int64_t at = 0; at < run; at += kTile) {
            const std::int64_t p = v + at;
            while (tBegin < echoCount && echoes[tBegin].position + n <= p) ++tBegin;
            while (tEnd < echoCount && echoes[tEnd].position < p + kTile) ++tEnd;
            const std::int64_t w = std::min(kTile, run - at);
            if (w == kTile) {
                addTapsToTile(dst + at, p, echoes, tBegin, tEnd, xMinusZero, xPlusZero);
            } else {
                // A short tile at the end of a run works on a copy; lanes past
                // its end are thrown away.
                float tile[kTile] = {};
                std::copy(dst + at, dst + at + w, tile);
                addTapsToTile(tile, p, echoes, tBegin, tEnd, xMinusZero, xPlusZero);
                std::copy(tile, tile + w, dst + at);
            }
        }
        v += run;
        phys = 0;
    }
}

/// Whether the tiled loop applies: finite gains, taps in order of position,
/// all inside the buffer, and a reach (first tap to last tap plus a block)
/// that never comes round to the same buffer sample twice.
bool tilesApply(const VelvetEcho* echoes, std::size_t count, std::int64_t size, std::int64_t n) noexcept {
    if (count == 0 || echoes[0].position < 0 || echoes[count - 1].position >= size ||
        echoes[count - 1].position - echoes[0].position + n > size) {
        return false;
    }
    for (std::size_t t = 0; t < count; ++t) {
        if (!std::isfinite(echoes[t].amplitude) || (t > 0 && echoes[t].position < echoes[t - 1].position)) return false;
    }
    return true;
}
} // namespace

void VelvetReverberator::allocate(std::int64_t loop, std::int64_t maxBlock) {
    loopLength = loop;
    bufferSize = loop > 0 ? std::max(2 * loop, loop + std::max<std::int64_t>(maxBlock, 0)) : 0;
    buffer.assign(static_cast<std::size_t>(bufferSize), 0.0f);
    buffer.shrink_to_fit();
    padded.assign(loop > 0 && maxBlock > 0 ? static_cast<std::size_t>(2 * (maxBlock + 2 * kTile)) : 0, 0.0f);
    padded.shrink_to_fit();
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
    const auto half = static_cast<std::int64_t>(padded.size() / 2);
    if (n >= kShortestTiledBlock && n + 2 * kTile <= half && tilesApply(echoes.data(), echoes.size(), size, n)) {
        // Margins of -0 for gains with the sign bit clear, +0 for the others:
        // either way a margin sample times the gain is -0.
        float* minusZero = padded.data();
        float* plusZero = minusZero + half;
        std::fill(minusZero, minusZero + kTile, -0.0f);
        std::copy(x, x + n, minusZero + kTile);
        std::fill(minusZero + kTile + n, minusZero + n + 2 * kTile, -0.0f);
        std::fill(plusZero, plusZero + kTile, 0.0f);
        std::copy(x, x + n, plusZero + kTile);
        std::fill(plusZero + kTile + n, plusZero + n + 2 * kTile, 0.0f);
        spreadOverTiles(buf, size, readPos, echoes.data(), echoes.size(), minusZero + kTile, plusZero + kTile, n);
    } else {
        spreadOverTaps(buf, size, readPos, echoes.data(), echoes.size(), x, n);
    }

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
