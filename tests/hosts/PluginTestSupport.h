#pragma once

// What the tests of every plug-in format share: the knobs' names, the
// factory presets' values from the bundle, and the windows inside a host's
// window.

#include "platform/foundation/PropertyList.h"
#include "tests/hosts/SoundFiles.h"
#include "tests/platform/foundation/TempFolder.h"
#include "tests/support/Process.h"
#include "tests/support/Signals.h"

#include <X11/Xlib.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
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

/// Renders the same input with the same settings through orvane-render and
/// through a plug-in format, in blocks of 1, 64, 1000 and 4096 frames, and
/// expects the same bits. `render(block, left, right)` renders the plug-in
/// in place in host blocks of `block` frames, the settings at the first.
inline void expectTheBitsOfOrvaneRender(
    const std::array<double, kKnobs>& settings,
    const std::function<void(std::uint32_t, std::vector<float>&, std::vector<float>&)>& render) {
    platform::testing::TempFolder folder;
    const auto input = folder / "in.wav";
    const auto left = testsignals::noise(30000, 7, 0.5f), right = testsignals::noise(30000, 8, 0.5f);
    testsound::writeStereoWav(input, left, right, 48000);
    for (std::uint32_t block : {1u, 64u, 1000u, 4096u}) {
        const auto output = folder / ("out-" + std::to_string(block) + ".wav");
        std::vector<std::string> command{ORVANE_RENDER_PROGRAM, input.string(), "-o", output.string(), "--tail", "0",
                                         "--quiet", "--block", std::to_string(block)};
        for (int k = 0; k < kKnobs; ++k)
            command.insert(command.end(), {"--set", std::string(kIdentifiers[k]) + "=" + std::to_string(settings[std::size_t(k)])});
        testprocess::Process program(command);
        ASSERT_EQ(program.wait(std::chrono::seconds(60)), 0) << program.errorText();
        const auto theirs = testsound::wavSamples(output);
        auto ours = std::pair{left, right};
        render(block, ours.first, ours.second);
        ASSERT_EQ(theirs.size(), 2 * left.size());
        for (std::size_t i = 0; i < left.size(); ++i) {
            ASSERT_EQ(ours.first[i], theirs[2 * i]) << "blocks of " << block << ": left sample " << i;
            ASSERT_EQ(ours.second[i], theirs[2 * i + 1]) << "blocks of " << block << ": right sample " << i;
        }
    }
}

/// Expects every sample of both channels finite and within [-1, 1].
inline void expectFiniteWithinFullScale(const std::vector<float>& l, const std::vector<float>& r, double rate,
                                        std::uint32_t block) {
    for (std::size_t i = 0; i < l.size(); ++i) {
        ASSERT_TRUE(std::isfinite(l[i]) && std::abs(l[i]) <= 1.0f && std::isfinite(r[i]) && std::abs(r[i]) <= 1.0f)
            << rate << " Hz, blocks of " << block << ": sample " << i << " is " << l[i] << ", " << r[i];
    }
}

} // namespace plugintest
