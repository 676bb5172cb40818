#pragma once

// The one symbol a plug-in module exports, shared by the module that defines
// it and the loader that looks it up.
//
// A plug-in bundle's executable is a shared module that exports exactly one
// symbol, AUExtensionCreatePrincipalObject. The host opens the module, looks
// the symbol up and calls it once per principal object it wants. The call
// stores a new principal object in *principal, or leaves it empty when none
// could be made; it never throws.
//
// The object crosses as a std::shared_ptr made inside the module: its control
// block, and so its destruction, stay with the module's own code, and the
// object may keep weak references to itself for tasks it hands to other
// threads. The host releases it like any other shared object; the module must
// therefore stay loaded for as long as anything made by it may live.
//
// Host and module call each other through C++ virtual functions, so both must
// be built from the same platform headers by the same compiler.

#include "platform/audiounit/AUAudioUnitFactory.h"

#include <memory>

namespace platform {

/// The type of the entry point.
using AUExtensionEntryPointFunction = void(std::shared_ptr<AUAudioUnitFactory>* principal) noexcept;
using AUExtensionEntryPoint = AUExtensionEntryPointFunction*;

/// The name under which the loader looks the entry point up.
inline constexpr const char* kAUExtensionEntryPointName = "AUExtensionCreatePrincipalObject";

} // namespace platform

/// Defined by each plug-in module, and exported from it with default
/// visibility; every other symbol of the module stays hidden.
extern "C" __attribute__((visibility("default")))
platform::AUExtensionEntryPointFunction AUExtensionCreatePrincipalObject;
