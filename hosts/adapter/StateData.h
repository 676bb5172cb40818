#pragma once

#include "platform/audiounit/AUAudioUnit.h"
#include "platform/foundation/PropertyList.h"

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
/// The same with keys of a plug-in format's own added (the unit ignores
/// keys it does not know when the state comes back).
std::expected<std::vector<std::uint8_t>, platform::Error> saveStateData(platform::AUAudioUnit& unit,
                                                                        const platform::PropertyList::Dictionary& extra);

/// Restores state bytes. Bytes that are not a property-list dictionary, a
/// state of another component, or one of an "orvane_state_version" other
/// than 1 are refused and leave the unit as it was; otherwise the unit
/// applies the state as it always does (values clamped, missing ones at
/// their defaults). Host thread.
/// The restored dictionary, for the keys of a plug-in format's own.
std::expected<platform::PropertyList::Dictionary, platform::Error> restoreStateData(platform::AUAudioUnit& unit,
                                                                                    std::span<const std::uint8_t> bytes);

} // namespace orvane::adapter
