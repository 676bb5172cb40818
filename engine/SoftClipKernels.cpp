// The soft clip, compiled once per instruction-set path (Highway re-includes
// this file for each); the tanh of each path is the vector tanh of the
// library's matching build, within one unit in the last place.

#include "engine/SoftClipKernels.h"

#include <algorithm>
#include <cstddef>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "engine/SoftClipKernels.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep

#include <hwy/highway.h>

extern "C" float Sleef_tanhf_u10(float);

HWY_BEFORE_NAMESPACE();
namespace orvane {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The library's header declares its wider functions only where the whole
// program is built for them; these are declared here, inside the path that
// can call them.
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
extern "C" __m512 Sleef_tanhf16_u10avx512f(__m512);
#define ORVANE_VECTOR_TANH Sleef_tanhf16_u10avx512f
#elif HWY_TARGET == HWY_AVX2
extern "C" __m256 Sleef_tanhf8_u10avx2(__m256);
#define ORVANE_VECTOR_TANH Sleef_tanhf8_u10avx2
#elif HWY_TARGET == HWY_SSE4
extern "C" __m128 Sleef_tanhf4_u10sse4(__m128);
#define ORVANE_VECTOR_TANH Sleef_tanhf4_u10sse4
#elif HWY_TARGET == HWY_SSSE3
extern "C" __m128 Sleef_tanhf4_u10sse2(__m128);
#define ORVANE_VECTOR_TANH Sleef_tanhf4_u10sse2
#endif

#ifdef ORVANE_VECTOR_TANH
template <class D, class V>
HWY_INLINE V tanhOf(D, V v) {
    v.raw = ORVANE_VECTOR_TANH(v.raw);
    return v;
}
#undef ORVANE_VECTOR_TANH
#else
template <class D, class V>
HWY_INLINE V tanhOf(D d, V v) {
    HWY_ALIGN float lanes[hn::MaxLanes(d)];
    hn::Store(v, d, lanes);
    for (float& x : lanes) x = Sleef_tanhf_u10(x);
    return hn::Load(d, lanes);
}
#endif

void SoftClip(float* HWY_RESTRICT x, std::int64_t n) {
    const hn::ScalableTag<float> d;
    const auto lanes = static_cast<std::int64_t>(hn::Lanes(d));
    const auto clip = [&](auto v) { return tanhOf(d, hn::IfThenElseZero(hn::IsFinite(v), v)); };
    std::int64_t j = 0;
    for (; j + lanes <= n; j += lanes) hn::StoreU(clip(hn::LoadU(d, x + j)), d, x + j);
    if (j < n) {
        HWY_ALIGN float rest[hn::MaxLanes(d)] = {};
        std::copy(x + j, x + n, rest);
        hn::Store(clip(hn::Load(d, rest)), d, rest);
        std::copy(rest, rest + (n - j), x + j);
    }
}

} // namespace HWY_NAMESPACE
} // namespace orvane
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace orvane {

HWY_EXPORT(SoftClip);

void softClip(float* samples, std::int64_t frameCount) noexcept { HWY_DYNAMIC_DISPATCH(SoftClip)(samples, frameCount); }

} // namespace orvane
#endif
