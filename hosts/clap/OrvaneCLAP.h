#pragma once

// What the CLAP side of Orvane shares between its entry, its plug-in object
// and the tests that host it: the plug-in's identity and the parameter
// identifiers hosts keep in their sessions.

#include <clap/id.h>

namespace orvane::clap {

/// Never change it: hosts find saved sessions' plug-ins by it.
inline constexpr const char* kPluginID = "org.orvane.orvane";
inline constexpr const char* kPluginName = "Orvane";
inline constexpr const char* kVendor = "The Orvane developers";

/// The folder beside Orvane.clap that holds the unit's bundle and the
/// platform libraries.
inline constexpr const char* kCompanionFolder = "Orvane";

/// The six knobs use their parameter addresses (0 premix to 5 gravitas) as
/// identifiers; the host's bypass follows.
inline constexpr clap_id kBypassParameter = 1000;

} // namespace orvane::clap
