// Speed of the stereo kernel. The counter "rtf" is the real-time factor:
// seconds of audio rendered per second of CPU time on one core.
//
//   cmake --preset release && cmake --build --preset release --target orvane_engine_bench
//   build/release/bench/orvane_engine_bench

#include "Measuring.h"
#include "engine/OrvaneDSPKernel.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

namespace {

std::unique_ptr<orvane::OrvaneDSPKernel> makeKernel(std::int64_t block, double rate) {
    auto k = std::make_unique<orvane::OrvaneDSPKernel>();
    orvane_bench::setUpForMeasuring(*k, block, rate);
    return k;
}

std::vector<float> noise(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
    std::vector<float> v(n);
    for (auto& x : v) x = dist(rng);
    return v;
}

void processStereo(benchmark::State& state) {
    const double rate = static_cast<double>(state.range(0));
    const std::int64_t block = state.range(1);
    auto k = makeKernel(block, rate);
    auto left = noise(static_cast<std::size_t>(block), 1), right = noise(static_cast<std::size_t>(block), 2);
    const auto inL = left, inR = right;
    for (auto _ : state) {
        k->process(inL.data(), inR.data(), left.data(), right.data(), block);
        benchmark::DoNotOptimize(left.data());
    }
    const double audioSeconds = static_cast<double>(state.iterations()) * static_cast<double>(block) / rate;
    state.counters["rtf"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
}
BENCHMARK(processStereo)
    ->ArgNames({"rate", "block"})
    ->ArgsProduct({{44100, 48000, 96000}, {64, 512, 4096}});

// Loud input, then a minute of silence: the feedback loops decay through
// subnormal numbers, which must not cost more than the loud part.
void silenceAfterSound(benchmark::State& state) {
    const double rate = 48000.0;
    const std::int64_t block = 512;
    const bool silent = state.range(0) != 0;
    auto k = makeKernel(block, rate);
    auto loudL = noise(block, 3), loudR = noise(block, 4);
    for (auto& x : loudL) x *= 1.9f;
    for (auto& x : loudR) x *= 1.9f;
    std::vector<float> outL(block), outR(block);
    const std::vector<float> zero(block, 0.0f);
    for (int b = 0; b < 2000; ++b) k->process(loudL.data(), loudR.data(), outL.data(), outR.data(), block);
    if (silent) {
        // Sixty seconds of silence before measuring.
        for (int b = 0; b < static_cast<int>(60.0 * rate / block); ++b) {
            k->process(zero.data(), zero.data(), outL.data(), outR.data(), block);
        }
    }
    const auto& inL = silent ? zero : loudL;
    const auto& inR = silent ? zero : loudR;
    for (auto _ : state) {
        k->process(inL.data(), inR.data(), outL.data(), outR.data(), block);
        benchmark::DoNotOptimize(outL.data());
    }
    const double audioSeconds = static_cast<double>(state.iterations()) * static_cast<double>(block) / rate;
    state.counters["rtf"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
}
BENCHMARK(silenceAfterSound)->ArgNames({"silent"})->Arg(0)->Arg(1);

} // namespace

BENCHMARK_MAIN();
