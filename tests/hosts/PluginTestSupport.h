#pragma once

// What the tests of every plug-in format share: the knobs' names, the
// factory presets' values from the bundle, sound files in and out for
// comparing with orvane-render, resident memory, and the windows inside a
// host's window.

#include "platform/foundation/PropertyList.h"

#include <X11/Xlib.h>
#include <malloc.h>
#include <sndfile.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

inline void writeWav(const std::filesystem::path& file, const std::vector<float>& left, const std::vector<float>& right,
                     int rate) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* sound = sf_open(file.c_str(), SFM_WRITE, &info);
    std::vector<float> frames;
    for (std::size_t i = 0; i < left.size(); ++i) frames.insert(frames.end(), {left[i], right[i]});
    sf_writef_float(sound, frames.data(), static_cast<sf_count_t>(left.size()));
    sf_close(sound);
}

/// Interleaved samples of a sound file; empty when it cannot be read.
inline std::vector<float> wavSamples(const std::filesystem::path& file) {
    SF_INFO info{};
    SNDFILE* sound = sf_open(file.c_str(), SFM_READ, &info);
    std::vector<float> samples(sound ? static_cast<std::size_t>(info.frames * info.channels) : 0);
    if (sound) sf_readf_float(sound, samples.data(), info.frames), sf_close(sound);
    return samples;
}

inline long residentKilobytes() {
    ::malloc_trim(0);
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
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
