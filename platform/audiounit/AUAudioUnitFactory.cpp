#include "platform/audiounit/AUAudioUnitFactory.h"

namespace platform {

AUAudioUnitFactory::~AUAudioUnitFactory() = default;

std::shared_ptr<AUAudioUnit> AUAudioUnitFactory::createAudioUnitAndReturnError(
    const AudioComponentDescription& description, Error* outErrorOrNull) {
    auto unit = createAudioUnit(description);
    if (unit) return std::move(*unit);
    if (outErrorOrNull) *outErrorOrNull = std::move(unit.error());
    return nullptr;
}

} // namespace platform
