// Compiled with the engine's sources into the plain build, where orvane is
// renamed; see tests/engine/CMakeLists.txt.
#include "tests/engine/PlainEngine.h"

#include "engine/OrvaneDSPKernel.h"

namespace oracle {

struct PlainEngine::Kernel : orvane::OrvaneDSPKernel {};

PlainEngine::PlainEngine(std::uint32_t seed, std::int64_t maxFrames, double rate) : kernel_(std::make_unique<Kernel>()) {
    kernel_->velvetEchoes.rngL = seed;
    kernel_->velvetEchoes.rngR = seed + 1;
    kernel_->allocate(maxFrames, rate);
}

PlainEngine::~PlainEngine() = default;

void PlainEngine::set(const float (&p)[6]) {
    kernel_->premix = p[0];
    kernel_->granularity = p[1];
    kernel_->incoherence = p[2];
    kernel_->impatience = p[3];
    kernel_->nausea = p[4];
    kernel_->gravitas = p[5];
}

void PlainEngine::process(const float* inL, const float* inR, float* outL, float* outR, std::int64_t frames) {
    kernel_->process(inL, inR, outL, outR, frames);
}

} // namespace oracle
