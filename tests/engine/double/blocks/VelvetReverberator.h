#pragma once

// Stands in for the product's header in the engine's double-precision build.
#include "tests/support/PlainLoops.h"

namespace orvane {
using VelvetReverberator = DoubleVelvetReverberator;
}
