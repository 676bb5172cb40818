// Two builds of the engine in one program: this tree's and another
// revision's (compiled with its namespace renamed). Both render the same
// stereo noise at 48 kHz, with every knob at 0.5 and gravitas at 1 as the
// engine benchmark runs them, in turns of one second of audio each, timed in
// CPU time of the calling thread; the one that goes first alternates. A machine whose
// speed drifts slows both alike, so the ratio of turns taken side by side
// holds where separate runs do not. Prints each round's two real-time
// factors, base first. Built and run by bench/compare-builds, which runs it
// several times, each side creating its kernel first in half the runs.
//
//   orvane-compare-builds BLOCK [ROUNDS [THIS-FIRST]]

#include "Measuring.h"
#include "engine/OrvaneDSPKernel.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

/// One build's kernel with its input and output blocks.
struct Side {
    virtual ~Side() = default;
    virtual void render(int blocks) = 0;
};

#ifdef ORVANE_COMPARE_SIDE

namespace {
class KernelSide final : public Side {
public:
    KernelSide(std::int64_t block, double rate) : block_(block), inL_(block), inR_(block), outL_(block), outR_(block) {
        orvane_bench::setUpForMeasuring(*kernel_, block, rate);
        std::mt19937 random(1);
        std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
        for (auto& x : inL_) x = noise(random);
        for (auto& x : inR_) x = noise(random);
    }
    void render(int blocks) override {
        for (int b = 0; b < blocks; ++b) kernel_->process(inL_.data(), inR_.data(), outL_.data(), outR_.data(), block_);
    }

private:
    std::unique_ptr<orvane::OrvaneDSPKernel> kernel_ = std::make_unique<orvane::OrvaneDSPKernel>();
    std::int64_t block_;
    std::vector<float> inL_, inR_, outL_, outR_;
};
} // namespace

Side* ORVANE_COMPARE_SIDE(std::int64_t block, double rate) { return new KernelSide(block, rate); }

#else

Side* makeBaseSide(std::int64_t block, double rate);
Side* makeThisSide(std::int64_t block, double rate);

using orvane_bench::threadSeconds;

int main(int argc, char** argv) {
    const long block = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 0;
    const long rounds = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 20;
    const long thisFirst = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 0;
    if (argc < 2 || argc > 4 || block < 1 || block > 65536 || rounds < 1) {
        std::fprintf(stderr, "usage: orvane-compare-builds BLOCK [ROUNDS [THIS-FIRST]]\n");
        return 2;
    }
    constexpr double kRate = 48000.0;
    // The script has each side set up first in half the runs, so that where
    // their memory lands favours neither.
    std::unique_ptr<Side> sides[2];
    if (thisFirst != 0) sides[1].reset(makeThisSide(block, kRate));
    sides[0].reset(makeBaseSide(block, kRate));
    if (thisFirst == 0) sides[1].reset(makeThisSide(block, kRate));
    const int turn = std::max(1, int(kRate / double(block)));
    for (auto& side : sides) side->render(3 * turn); // past the start-up, into the caches
    for (long round = 0; round < rounds; ++round) {
        double rtf[2];
        for (long i = 0; i < 2; ++i) {
            const long s = (i + round) % 2;
            const double start = threadSeconds();
            sides[s]->render(turn);
            rtf[s] = double(turn) * double(block) / kRate / (threadSeconds() - start);
        }
        std::printf("%.3f %.3f\n", rtf[0], rtf[1]);
    }
    return 0;
}

#endif
