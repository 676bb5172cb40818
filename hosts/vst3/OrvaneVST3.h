#pragma once

// What the VST3 side of Orvane shares between its factory, its plug-in
// object, its editor view and the tests that host it: the class identity and
// the parameter identifiers hosts keep in their sessions.

#include <pluginterfaces/base/funknown.h>
#include <pluginterfaces/vst/vsttypes.h>

namespace orvane::vst3 {

/// The one class the module offers. Never change it: hosts find saved
/// sessions' plug-ins by it.
inline const Steinberg::FUID kClassID(0x4BCD1AA5, 0x6CAF48AA, 0x9109C6EE, 0xDD5252CE);
inline constexpr const char* kClassName = "Orvane";
inline constexpr const char* kSubCategories = "Fx|Delay|Reverb";
inline constexpr const char* kVendor = "The Orvane developers";

/// The six knobs use their parameter addresses (0 premix to 5 gravitas) as
/// identifiers; the host's bypass and the factory preset list follow.
inline constexpr Steinberg::Vst::ParamID kBypassParameter = 1000;
inline constexpr Steinberg::Vst::ParamID kProgramParameter = 1001;
inline constexpr Steinberg::Vst::ProgramListID kFactoryProgramList = 1;

} // namespace orvane::vst3
