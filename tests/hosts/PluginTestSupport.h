#pragma once

// What the tests of every plug-in format share: the knobs' names, the
// factory presets' values from the bundle, and the windows inside a host's
// window.

#include "platform/foundation/PropertyList.h"

#include <X11/Xlib.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace plugintest {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

inline constexpr int kKnobs = 6;
inline const char* const kKnobNames[kKnobs] = {"Premix", "Granularity", "Incoherence", "Impatience", "Nausea", "Gravitas"};
inline const char* const kIdentifiers[kKnobs] = {"premix", "granularity", "incoherence", "impatience", "nausea", "gravitas"};

/// The first number in a readout, or -1 for one without ("no reverb").
inline double number(const std::string& words) {
    const auto at = words.find_first_of("0123456789");
    return at == std::string::npos ? -1.0 : std::strtod(words.c_str() + at, nullptr);
}

/// A factory preset's six values, from its file in the unit's bundle.
inline std::array<double, kKnobs> presetValues(const std::filesystem::path& unitBundle, const std::string& fileName) {
    const auto file = unitBundle / "presets" / fileName;
    auto plist = platform::readPropertyListFile(file);
    if (!plist) throw std::runtime_error("cannot read " + file.string());
    std::array<double, kKnobs> values{};
    const auto* params = plist->find("orvane_params");
    for (int k = 0; k < kKnobs && params; ++k) {
        const auto* value = params->find(kIdentifiers[k]);
        values[static_cast<std::size_t>(k)] = value && value->real()      ? *value->real()
                                              : value && value->integer() ? double(*value->integer())
                                                                          : -1.0;
    }
    return values;
}

/// The windows directly inside `parent`.
inline std::vector<Window> childWindows(Display* display, Window parent) {
    Window root, up, *kids = nullptr;
    unsigned count = 0;
    XQueryTree(display, parent, &root, &up, &kids, &count);
    std::vector<Window> list(kids, kids + count);
    if (kids) XFree(kids);
    return list;
}

} // namespace plugintest
