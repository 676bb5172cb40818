#pragma once

#include "platform/audiounit/AUAudioUnit.h"
#include "platform/audiounit/AudioTypes.h"
#include "platform/foundation/Error.h"

#include <expected>
#include <memory>

namespace platform {

/// What a plug-in's principal object offers a host: it creates the unit for
/// a component description. Called on a host thread of the host's choosing.
class AUAudioUnitFactory {
public:
    virtual ~AUAudioUnitFactory();

    /// A new unit, or the error that kept it from being built.
    virtual std::expected<std::shared_ptr<AUAudioUnit>, Error> createAudioUnit(
        const AudioComponentDescription& description) = 0;

    /// For callers that expect an error slot: the unit, or null with the
    /// error stored in *outErrorOrNull when a slot is given (dropped when not).
    std::shared_ptr<AUAudioUnit> createAudioUnitAndReturnError(
        const AudioComponentDescription& description, Error* outErrorOrNull);
};

} // namespace platform
