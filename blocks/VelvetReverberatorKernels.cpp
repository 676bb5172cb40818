// The reverberator's tap loop, compiled once per instruction-set path
// (Highway re-includes this file for each) and called through one dispatch
// table.

#include "blocks/VelvetReverberatorKernels.h"

#include <algorithm>
#include <cmath>
#include <limits>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "blocks/VelvetReverberatorKernels.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep

#include <hwy/aligned_allocator.h>
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace orvane {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using TiledTap = VelvetReverberator::TiledTap;
using TapTable = VelvetReverberator::TapTable;

/// Vectors in a register tile: enough accumulators to keep the adders busy
/// while each waits for its last sum, and room for the broadcast gain and
/// the loads. With fused multiply-adds, sixteen-lane tiles of four vectors
/// and of eight measured the same; eight on every path keeps one layout.
constexpr std::int64_t kTileVectors = 8;
/// Blocks shorter than this reach each buffer sample with too few taps for
/// tiles to pay: 72 frames with eight lanes, 96 with sixteen (measured).
template <class D>
constexpr std::int64_t shortestTiledBlock(D d) {
    return std::max<std::int64_t>(72, 6 * static_cast<std::int64_t>(hn::MaxLanes(d)));
}

// Each product is added with one rounding (fused multiply-add where the
// path has it, a rounded product and sum where it does not).

/// Adds taps [tBegin, tEnd) into the tile at dst, whose first sample lies p
/// samples past the read position: their sum first, in list order, then
/// that sum to the buffer. The buffer's running sum is thus rounded once per
/// block or window rather than once per tap, which is where a float sum of
/// a thousand taps loses most. Lanes outside the block read silence, which
/// adds nothing.
template <class D>
HWY_INLINE void addTapsToTile(D d, float* HWY_RESTRICT dst, std::int64_t p, const TiledTap* HWY_RESTRICT taps,
                              std::size_t tBegin, std::size_t tEnd, const float* HWY_RESTRICT copies) {
    const auto lanes = static_cast<std::int64_t>(hn::Lanes(d));
    hn::Vec<D> acc[kTileVectors];
#pragma GCC unroll 16
    for (std::int64_t j = 0; j < kTileVectors; ++j) acc[j] = hn::Zero(d);
    // Four taps per pass: with about a dozen taps per tile, the loop's own
    // counting and branching are a real share of the work.
#pragma GCC unroll 4
    for (std::size_t t = tBegin; t < tEnd; ++t) {
        const auto g = hn::Set(d, taps[t].gain);
        const float* HWY_RESTRICT src = copies + (p + taps[t].offset);
#pragma GCC unroll 16
        for (std::int64_t j = 0; j < kTileVectors; ++j) acc[j] = hn::MulAdd(g, hn::Load(d, src + j * lanes), acc[j]);
    }
#pragma GCC unroll 16
    for (std::int64_t j = 0; j < kTileVectors; ++j) hn::StoreU(hn::Add(hn::LoadU(d, dst + j * lanes), acc[j]), d, dst + j * lanes);
}

// The tap loop turned inside out: a tile of buffer samples stays in
// registers while every tap that reaches it adds its part, so the buffer is
// read and written once per block instead of once per tap. Needs a reach
// (first tap to last plus a block) within the buffer; leaves the buffer
// alone and returns false unless the taps are in order of position with
// finite gains (a silent lane times an infinite gain is not silent).
template <class D>
bool spreadOverTiles(D d, float* HWY_RESTRICT buf, std::int64_t size, std::int64_t readPos,
                     const VelvetEcho* HWY_RESTRICT echoes, std::size_t count, float tapGain,
                     const float* HWY_RESTRICT x, std::int64_t n, float* HWY_RESTRICT scratch, TapTable& table,
                     std::uint64_t version) {
    const auto lanes = static_cast<std::int64_t>(hn::Lanes(d));
    const std::int64_t tile = lanes * kTileVectors;
    // Lanes copies of the block, each shifted one sample further between
    // silent margins (a tile and a lane group ahead, a tile behind), so that
    // any run of it can be loaded on a vector boundary from one of them.
    // Loads that straddle cache lines would cost the loop more than a tenth
    // of its time.
    const std::int64_t lead = tile + lanes;
    const std::int64_t stride = (lead + n + tile + lanes - 1) / lanes * lanes;
    float* base = scratch;
    base += (lanes - static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(base) / sizeof(float) % lanes)) % lanes;
    // Where sample q of the block (0 is its first; outside it, silence)
    // sits on a boundary: in copy q mod lanes.
    const auto at = [&](std::int64_t q) {
        const std::int64_t c = q & (lanes - 1);
        return c * stride + (q + lead - c);
    };
    const std::int64_t lo = echoes[0].position;
    const std::int64_t hi = echoes[count - 1].position + n;
    // Tiles start a whole number of lane groups past the first tap, so each
    // tap reads the same copy in all of them: its gain and that copy are
    // worked out (and the taps checked) once for a pattern version, block
    // length and path, not once per block.
    TiledTap* HWY_RESTRICT taps = table.taps.data();
    const bool known = version != 0 && table.version == version && table.echoes == echoes && table.count == count &&
                       table.frames == n && table.tile == tile;
    if (!known) {
        bool apply = true;
        for (std::size_t t = 0; t < count; ++t) {
            taps[t] = {echoes[t].amplitude * tapGain, at(lo - echoes[t].position) - lo};
            apply &= std::abs(echoes[t].amplitude) <= std::numeric_limits<float>::max();
            apply &= t == 0 || echoes[t].position >= echoes[t - 1].position;
        }
        table.version = version;
        table.echoes = echoes;
        table.count = count;
        table.frames = n;
        table.tile = tile;
        table.usable = apply;
    }
    if (!table.usable) return false;
    for (std::int64_t c = 0; c < lanes; ++c) {
        float* copy = base + c * stride;
        std::fill(copy, copy + lead - c, 0.0f);
        std::copy(x, x + n, copy + lead - c);
        std::fill(copy + lead - c + n, copy + stride, 0.0f);
    }

    std::size_t tBegin = 0, tEnd = 0;
    for (std::int64_t p = lo; p < hi; p += tile) {
        while (tBegin < count && echoes[tBegin].position + n <= p) ++tBegin;
        while (tEnd < count && echoes[tEnd].position < p + tile) ++tEnd;
        std::int64_t phys = readPos + p;
        if (phys >= size) phys -= size;
        const std::int64_t w = std::min(tile, hi - p);
        if (w == tile && phys + tile <= size) {
            addTapsToTile(d, buf + phys, p, taps, tBegin, tEnd, base);
        } else {
            // The last tile, and one that the end of the buffer cuts in two,
            // work on a copy; lanes past the reach are thrown away.
            HWY_ALIGN float part[kTileVectors * hn::MaxLanes(d)] = {};
            const std::int64_t first = std::min(w, size - phys);
            std::copy(buf + phys, buf + phys + first, part);
            std::copy(buf, buf + (w - first), part + first);
            addTapsToTile(d, part, p, taps, tBegin, tEnd, base);
            std::copy(part, part + first, buf + phys);
            std::copy(part + first, part + w, buf);
        }
    }
    return true;
}

/// g x + s rounded as the path's vectors round it, for the samples at the
/// ends of a run.
HWY_INLINE float addProduct(float g, float x, float s) {
    const hn::CappedTag<float, 1> d1;
    return hn::GetLane(hn::MulAdd(hn::Set(d1, g), hn::Set(d1, x), hn::Set(d1, s)));
}

// The plain loop in lane groups: each tap's block is one contiguous run
// unless it crosses the end of the buffer. Each run is added from its end
// back to its start: the next tap's run begins inside this one's last part,
// and this way that part was written first and has left the store queue by
// the time the next tap reads it, instead of being read back half
// overlapped right after its write, which stalls.
template <class D>
void spreadOverTaps(D d, float* HWY_RESTRICT buf, std::int64_t size, std::int64_t readPos,
                    const VelvetEcho* HWY_RESTRICT echoes, std::size_t count, float tapGain,
                    const float* HWY_RESTRICT x, std::int64_t n) {
    const auto lanes = static_cast<std::int64_t>(hn::Lanes(d));
    for (std::size_t t = 0; t < count; ++t) {
        std::int64_t start = readPos + echoes[t].position;
        if (start >= size) start -= size;
        const float g = echoes[t].amplitude * tapGain;
        const auto gv = hn::Set(d, g);
        const std::int64_t first = std::min(n, size - start);
        float* dst = buf + start;
        for (std::int64_t i = first; i < n; ++i) buf[i - first] = addProduct(g, x[i], buf[i - first]);
        std::int64_t i = first;
        for (; i >= lanes; i -= lanes) {
            const auto sum = hn::MulAdd(gv, hn::LoadU(d, x + i - lanes), hn::LoadU(d, dst + i - lanes));
            hn::StoreU(sum, d, dst + i - lanes);
        }
        for (--i; i >= 0; --i) dst[i] = addProduct(g, x[i], dst[i]);
    }
}

void Spread(float* HWY_RESTRICT buf, std::int64_t size, std::int64_t readPos, const VelvetEcho* HWY_RESTRICT echoes,
            std::size_t count, float tapGain, const float* HWY_RESTRICT x, std::int64_t n, float* HWY_RESTRICT scratch,
            std::size_t scratchSize, TapTable& table, std::uint64_t version) {
    const hn::ScalableTag<float> d;
    // Longer blocks go through the tiles a piece at a time, so that the
    // shifted copies of a piece stay in the nearest cache.
    constexpr std::int64_t kPiece = 1024;
    if (n > kPiece + kPiece / 2) {
        for (std::int64_t at = 0; at < n; at += kPiece) {
            const std::int64_t start = readPos + at < size ? readPos + at : readPos + at - size;
            Spread(buf, size, start, echoes, count, tapGain, x + at, std::min(kPiece, n - at), scratch, scratchSize, table,
                   version);
        }
        return;
    }
    // Tiles for long blocks whose taps all lie in the buffer and reach no
    // buffer sample twice.
    const bool tiles = n >= shortestTiledBlock(d) && scratchSize >= reverberatorScratchSize(n) && count > 0 &&
                       count <= table.taps.size() && echoes[0].position >= 0 && echoes[count - 1].position < size &&
                       echoes[count - 1].position - echoes[0].position + n <= size;
    if (!tiles || !spreadOverTiles(d, buf, size, readPos, echoes, count, tapGain, x, n, scratch, table, version)) {
        spreadOverTaps(d, buf, size, readPos, echoes, count, tapGain, x, n);
    }
}

} // namespace HWY_NAMESPACE
} // namespace orvane
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace orvane {

HWY_EXPORT(Spread);

void spreadOverTaps(float* buf, std::int64_t size, std::int64_t readPos, const VelvetEcho* echoes, std::size_t count,
                    float tapGain, const float* x, std::int64_t n, std::vector<float>& scratch,
                    VelvetReverberator::TapTable& table, std::uint64_t version) noexcept {
    HWY_DYNAMIC_DISPATCH(Spread)(buf, size, readPos, echoes, count, tapGain, x, n, scratch.data(), scratch.size(), table,
                                 version);
}

std::size_t reverberatorScratchSize(std::int64_t n) noexcept {
    // The widest path's lanes: 16 on x86 (AVX-512).
    constexpr std::int64_t kMaxLanes = HWY_ALIGNMENT / sizeof(float);
    constexpr std::int64_t kTile = kMaxLanes * 8;
    const std::int64_t stride = (kTile + kMaxLanes + n + kTile + kMaxLanes - 1) / kMaxLanes * kMaxLanes;
    return static_cast<std::size_t>(kMaxLanes * stride + kMaxLanes);
}

std::vector<std::int64_t> runnableVectorPaths() { return hwy::SupportedAndGeneratedTargets(); }

void useVectorPath(std::int64_t path) {
    hwy::SetSupportedTargetsForTest(path);
    hwy::GetChosenTarget().Update(hwy::SupportedTargets());
}

std::string vectorPathName(std::int64_t path) { return hwy::TargetName(path); }

} // namespace orvane
#endif
