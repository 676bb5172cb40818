// Compiled with the engine's sources into each oracle build, where orvane is
// renamed and ORVANE_ORACLE_KIND says which engine this is; see
// tests/engine/CMakeLists.txt.
#include "tests/engine/PlainEngine.h"

#include "engine/OrvaneDSPKernel.h"

namespace oracle {

template <int Kind>
struct Engine<Kind>::Kernel : orvane::OrvaneDSPKernel {};

template <int Kind>
Engine<Kind>::Engine(std::uint32_t seed, std::int64_t maxFrames, double rate) : kernel_(std::make_unique<Kernel>()) {
    kernel_->velvetEchoes.rngL = seed;
    kernel_->velvetEchoes.rngR = seed + 1;
    kernel_->allocate(maxFrames, rate);
}

template <int Kind>
Engine<Kind>::~Engine() = default;

template <int Kind>
void Engine<Kind>::set(const float (&p)[6]) {
    kernel_->premix = p[0];
    kernel_->granularity = p[1];
    kernel_->incoherence = p[2];
    kernel_->impatience = p[3];
    kernel_->nausea = p[4];
    kernel_->gravitas = p[5];
}

template <int Kind>
void Engine<Kind>::process(const float* inL, const float* inR, float* outL, float* outR, std::int64_t frames) {
    kernel_->process(inL, inR, outL, outR, frames);
}

template class Engine<ORVANE_ORACLE_KIND>;

} // namespace oracle
