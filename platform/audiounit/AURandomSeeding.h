#pragma once

#include "platform/foundation/Error.h"

#include <cstdint>
#include <expected>

namespace platform {

/// Offered by units whose sound draws on random numbers. A host that needs a
/// render to be reproducible bit for bit hands a seed before it allocates
/// render resources; without one, every instance draws fresh numbers. Not a
/// parameter and not part of the saved state. Hosts find it with
/// dynamic_cast from the unit.
class AURandomSeeding {
public:
    virtual ~AURandomSeeding() = default;

    /// Seeds from 1 to 4294967294; anything else is refused with an error.
    /// Takes effect at the next allocateRenderResources.
    virtual std::expected<void, Error> setRandomSeed(std::uint32_t seed) = 0;
};

} // namespace platform
