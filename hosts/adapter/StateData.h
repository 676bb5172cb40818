#pragma once

#include "platform/audiounit/AUAudioUnit.h"

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

namespace orvane::adapter {

/// The unit's saved state as the bytes a host keeps in its session: the
/// unit's full state dictionary (its parameters, its preset's name, the
/// component it belongs to and "orvane_state_version") as a binary property
/// list. Host thread.
std::expected<std::vector<std::uint8_t>, platform::Error> saveStateData(platform::AUAudioUnit& unit);

/// Restores state bytes. Bytes that are not a property-list dictionary, a
/// state of another component, or one of an "orvane_state_version" other
/// than 1 are refused and leave the unit as it was; otherwise the unit
/// applies the state as it always does (values clamped, missing ones at
/// their defaults). Host thread.
std::expected<void, platform::Error> restoreStateData(platform::AUAudioUnit& unit, std::span<const std::uint8_t> bytes);

} // namespace orvane::adapter
