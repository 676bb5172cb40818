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
constexpr std::int64_t kShortestTiledBlock = 72;
/// Lead of every copy of the input: a tile's worth of silence and a lane
/// group more for the shift.
constexpr std::int64_t kLead = kTile + kLanes;

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
// crosses the end of the buffer. Each run is added from its end back to its
// start: the next tap's run begins inside this one's last part, and this way
// that part was written first and has left the store queue by the time the
// next tap reads it, instead of being read back half overlapped right after
// its write, which stalls (up to a tenth of the time of 64-frame blocks).
ORVANE_HOT_LOOP
void spreadOverTaps(float* __restrict buf, std::int64_t size, std::int64_t readPos, const VelvetEcho* echoes,
                    std::size_t echoCount, const float* __restrict x, std::int64_t n) noexcept {
    for (std::size_t t = 0; t < echoCount; ++t) {
        std::int64_t start = readPos + echoes[t].position;
        if (start >= size) start -= size;
        const float g = echoes[t].amplitude * kTapGain;
        const std::int64_t first = std::min(n, size - start);
        float* dst = buf + start;
        for (std::int64_t i = first; i < n; ++i) buf[i - first] += g * x[i];
        std::int64_t i = first;
        for (; i >= kLanes; i -= kLanes) {
            Lanes acc, v;
            std::memcpy(&acc, dst + i - kLanes, sizeof(Lanes));
            std::memcpy(&v, x + i - kLanes, sizeof(Lanes));
            acc = acc + g * v;
            std::memcpy(dst + i - kLanes, &acc, sizeof(Lanes));
        }
        for (--i; i >= 0; --i) dst[i] += g * x[i];
    }
}

/// Eight copies of a block's input, each between silent margins and each
/// shifted one sample further, so that any run of the block can be read
/// from one of them on a lane-group boundary: loads that straddle cache
/// lines cost the tap loop more than a tenth of its time.
struct ShiftedCopies {
    /// The first copy, on a lane-group boundary.
    const float* base;
    /// Distance between copies, a whole number of lane groups.
    std::int64_t stride;

    /// Where sample q of the block (0 is its first; outside it, silence) is
    /// read from: copy q mod 8, which holds it on a boundary.
    const float* at(std::int64_t q) const noexcept {
        const std::int64_t c = q & (kLanes - 1);
        return base + c * stride + (q + kLead - c);
    }
};

using TiledTap = VelvetReverberator::TiledTap;

/// Adds taps [tBegin, tEnd) into the kTile samples at tile, whose first
/// sample lies p samples past the read position.
inline __attribute__((always_inline)) void addTapsToTile(float* tile, std::int64_t p, const TiledTap* taps,
                                                        std::size_t tBegin, std::size_t tEnd,
                                                        const float* copies) noexcept {
    Lanes acc[kTileVectors];
#pragma GCC unroll 8
    for (std::int64_t j = 0; j < kTileVectors; ++j) std::memcpy(&acc[j], tile + j * kLanes, sizeof(Lanes));
    // Four taps per pass: with about a dozen taps per tile, the loop's own
    // counting and branching are a real share of the work.
#pragma GCC unroll 4
    for (std::size_t t = tBegin; t < tEnd; ++t) {
        const float g = taps[t].gain;
        // Lane k of the tile receives sample k + p - position of the block.
        // Lanes outside the block meet silence, whose product with the gain
        // is a zero; adding a zero of either sign leaves every float but -0
        // as it is, and the buffer never holds -0: it starts at +0, and a
        // sum rounded to nearest is -0 only when both terms are.
        const float* src = copies + (p + taps[t].offset);
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
// those of the plain loop. Needs taps sorted by position, a reach shorter
// than the buffer, and room in taps for every echo.
ORVANE_HOT_LOOP
void spreadOverTiles(float* __restrict buf, std::int64_t size, std::int64_t readPos, const VelvetEcho* echoes,
                     std::size_t echoCount, ShiftedCopies x, TiledTap* __restrict taps, std::int64_t n) noexcept {
    const std::int64_t lo = echoes[0].position;
    const std::int64_t hi = echoes[echoCount - 1].position + n;
    std::int64_t phys = readPos + lo;
    if (phys >= size) phys -= size;
    std::size_t tBegin = 0, tEnd = 0;
    for (std::int64_t v = lo; v < hi;) {
        // One contiguous run of the buffer, up to its end or the reach's.
        const std::int64_t run = std::min(hi - v, size - phys);
        // Tiles of a run start a whole number of lane groups apart, so each
        // tap reads the same copy in all of them: work out its gain and that
        // copy once rather than in every tile it reaches.
        for (std::size_t t = 0; t < echoCount; ++t) {
            const float* first = x.at(v - echoes[t].position);
            taps[t] = {echoes[t].amplitude * kTapGain, (first - x.base) - v};
        }
        float* dst = buf + phys;
        for (std::int64_t at = 0; at < run; at += kTile) {
            const std::int64_t p = v + at;
            while (tBegin < echoCount && echoes[tBegin].position + n <= p) ++tBegin;
            while (tEnd < echoCount && echoes[tEnd].position < p + kTile) ++tEnd;
            const std::int64_t w = std::min(kTile, run - at);
            if (w == kTile) {
                addTapsToTile(dst + at, p, taps, tBegin, tEnd, x.base);
            } else {
                // A short tile at the end of a run works on a copy; lanes past
                // its end are thrown away.
                float tile[kTile] = {};
                std::copy(dst + at, dst + at + w, tile);
                addTapsToTile(tile, p, taps, tBegin, tEnd, x.base);
                std::copy(tile, tile + w, dst + at);
            }
        }
        v += run;
        phys = 0;
    }
}

/// Length of one copy of a block of n samples with its margins, rounded up
/// to whole lane groups so that every copy starts on a boundary.
constexpr std::int64_t copyStride(std::int64_t n) noexcept {
    return (kLead + n + kTile + kLanes - 1) / kLanes * kLanes;
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
    // Eight copies, and room to start them on a lane-group boundary.
    padded.assign(loop > 0 && maxBlock > 0 ? static_cast<std::size_t>(kLanes * copyStride(maxBlock) + kLanes) : 0,
                  0.0f);
    padded.shrink_to_fit();
    tiledTaps.assign(padded.empty() ? 0 : static_cast<std::size_t>(VelvetEchoes::kEchoCount), TiledTap{});
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
    const std::int64_t stride = copyStride(n);
    if (n >= kShortestTiledBlock && kLanes * stride + kLanes <= static_cast<std::int64_t>(padded.size()) &&
        echoes.size() <= tiledTaps.size() && tilesApply(echoes.data(), echoes.size(), size, n)) {
        float* base = padded.data();
        base += (kLanes - reinterpret_cast<std::uintptr_t>(base) / sizeof(float) % kLanes) % kLanes;
        for (std::int64_t c = 0; c < kLanes; ++c) {
            // Copy c holds the block c samples nearer its start, so that
            // sample q sits on a lane-group boundary in copy q mod 8.
            float* copy = base + c * stride;
            std::fill(copy, copy + kLead - c, 0.0f);
            std::copy(x, x + n, copy + kLead - c);
            std::fill(copy + kLead - c + n, copy + stride, 0.0f);
        }
        const ShiftedCopies shifted{base, stride};
        spreadOverTiles(buf, size, readPos, echoes.data(), echoes.size(), shifted, tiledTaps.data(), n);
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
