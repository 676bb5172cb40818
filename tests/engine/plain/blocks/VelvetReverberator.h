#pragma once

// Stands in for the product's header in the engine's plain build.
#include "tests/support/PlainLoops.h"

namespace orvane {
using VelvetReverberator = PlainVelvetReverberator;
}
