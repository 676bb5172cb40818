#pragma once

#include "platform/audiounit/AudioTypes.h"

#include <string>

namespace platform {

/// A named preset of a unit. Factory presets are numbered from 0; a negative
/// number marks a preset the host made. Handled as
/// std::shared_ptr<AUAudioUnitPreset>: a unit keeps the very object it was
/// given, so identity is observable.
struct AUAudioUnitPreset {
    NSInteger number = 0;
    std::string name;
};

} // namespace platform
