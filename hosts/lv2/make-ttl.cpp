// Build tool: writes the LV2 bundle's Turtle files from the plug-in itself:
// the ports from its parameter tree (identifiers, names, ranges, defaults)
// and one preset file per factory preset, read from the .aupreset files.
//
//   orvane-lv2-ttl OUTPUT_FOLDER UNIT_BUNDLE_FOLDER DSP_BINARY UI_BINARY

#include "hosts/adapter/ParameterTable.h"
#include "hosts/lv2/OrvaneLV2.h"
#include "plugin/FactoryPresets.h"
#include "plugin/OrvaneAudioUnit.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using namespace orvane::lv2;
namespace fs = std::filesystem;

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    std::string out = text;
    // Turtle reads a number without a point or exponent as an integer.
    if (out.find_first_of(".e") == std::string::npos) out += ".0";
    return out;
}

bool write(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) std::fprintf(stderr, "orvane-lv2-ttl: cannot write %s\n", file.c_str());
    return static_cast<bool>(out);
}

const char* kPrefixes =
    "@prefix atom: <http://lv2plug.in/ns/ext/atom#> .\n"
    "@prefix bufsz: <http://lv2plug.in/ns/ext/buf-size#> .\n"
    "@prefix doap: <http://usefulinc.com/ns/doap#> .\n"
    "@prefix foaf: <http://xmlns.com/foaf/0.1/> .\n"
    "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
    "@prefix opts: <http://lv2plug.in/ns/ext/options#> .\n"
    "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
    "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n"
    "@prefix ui: <http://lv2plug.in/ns/extensions/ui#> .\n"
    "@prefix urid: <http://lv2plug.in/ns/ext/urid#> .\n\n";

/// What each knob does to the sound, in the words of the README's knob guide.
std::string describe(const std::string& identifier) {
    static const std::pair<const char*, const char*> descriptions[] = {
        {"premix", "How much of the effect you hear against your own dry signal."},
        {"granularity", "How far the delays of the three grain streams slowly sway: still echoes at 0, a drifting, "
                        "chorus-like smear at the top."},
        {"incoherence", "How far apart in time the three streams sit, and how differently they sway: one tight voice "
                        "at 0, a loose crowd at the top."},
        {"impatience", "How much each stream feeds back into itself: a single pass at 0, echoes that pile up and hang "
                       "on near the top."},
        {"nausea", "How far the whole output wanders in time, which bends its pitch like a warped tape, left and "
                   "right apart."},
        {"gravitas", "How much reverberation and how long it rings, darkening the sound as it grows (a low-pass "
                     "filter follows it down)."},
    };
    for (const auto& [name, text] : descriptions) {
        if (identifier == name) return text;
    }
    return {};
}


} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: orvane-lv2-ttl OUTPUT_FOLDER UNIT_BUNDLE_FOLDER DSP_BINARY UI_BINARY\n");
        return 2;
    }
    const fs::path out = argv[1];
    const auto unitBundle = platform::Bundle::atPath(argv[2]);
    const std::string dsp = argv[3], uiBinary = argv[4];

    auto unit = orvane::OrvaneAudioUnit::create(
        {platform::fourCharCode("aufx"), platform::fourCharCode("orvn"), platform::fourCharCode("Orvn"), 0, 0});
    if (!unit) {
        std::fprintf(stderr, "orvane-lv2-ttl: %s\n", unit.error().message.c_str());
        return 1;
    }
    auto tree = (*unit)->parameterTree();
    const auto presets = orvane::listFactoryPresetFiles(unitBundle);
    if (!tree || tree->allParameters().size() != kParameterCount || presets.empty()) {
        std::fprintf(stderr, "orvane-lv2-ttl: the plug-in's parameters or presets in %s are not as expected\n", argv[2]);
        return 1;
    }

    std::ostringstream manifest;
    manifest << kPrefixes << "<" << kPluginURI << ">\n    a lv2:Plugin ;\n    lv2:binary <" << dsp
             << "> ;\n    rdfs:seeAlso <orvane.ttl> .\n\n";
    manifest << "<" << kUIURI << ">\n    a ui:X11UI ;\n    ui:binary <" << uiBinary << "> ;\n"
             << "    lv2:requiredFeature ui:idleInterface ;\n    lv2:extensionData ui:idleInterface ;\n"
             << "    lv2:optionalFeature ui:resize , ui:touch , opts:options , urid:map ;\n"
             << "    opts:supportedOption ui:scaleFactor ;\n    lv2:requiredFeature ui:parent .\n";

    std::ostringstream plugin;
    plugin << kPrefixes << "<" << kPluginURI << ">\n"
           << "    a lv2:Plugin , lv2:ReverbPlugin , lv2:DelayPlugin , doap:Project ;\n"
           << "    doap:name \"Orvane\" ;\n"
           << "    doap:license <https://spdx.org/licenses/GPL-3.0-or-later> ;\n"
           << "    doap:maintainer [\n        a foaf:Person ;\n        foaf:name \"The Orvane developers\"\n    ] ;\n"
           << "    rdfs:comment \"A stereo effect that cuts the sound into crossfading grains, sends them through three "
              "gliding, modulated delay streams with feedback and blends in a velvet-noise reverberation; six knobs "
              "steer it.\" ;\n"
           << "    lv2:minorVersion 1 ;\n    lv2:microVersion 0 ;\n"

           << "    lv2:requiredFeature urid:map ;\n"
           << "    lv2:optionalFeature lv2:hardRTCapable , opts:options , bufsz:boundedBlockLength ;\n"
           << "    opts:supportedOption bufsz:maxBlockLength ;\n"
           << "    ui:ui <" << kUIURI << "> ;\n"
           << "    lv2:port [\n";
    const char* audio[] = {"in_left", "Input left", "in_right", "Input right", "out_left", "Output left",
                           "out_right", "Output right"};
    for (std::uint32_t i = 0; i < 4; ++i) {
        plugin << "        a lv2:AudioPort , " << (i < 2 ? "lv2:InputPort" : "lv2:OutputPort") << " ;\n"
               << "        lv2:index " << i << " ;\n        lv2:symbol " << quoted(audio[2 * i]) << " ;\n"
               << "        lv2:name " << quoted(audio[2 * i + 1]) << "\n    ] , [\n";
    }
    // A new unit starts with factory preset 0, so a new instance in a host
    // starts there too.
    auto first = orvane::loadPresetFile(unitBundle, presets.front().filename);
    const platform::PropertyList firstState = first ? platform::PropertyList(std::move(*first)) : platform::PropertyList();
    const auto* firstValues = firstState.find("orvane_params");
    for (const auto& parameter : tree->allParameters()) {
        const auto* value = firstValues ? firstValues->find(parameter->identifier()) : nullptr;
        if (!value || !value->number() || describe(parameter->identifier()).empty()) {
            std::fprintf(stderr, "orvane-lv2-ttl: the first preset or the description of %s is missing\n",
                         parameter->identifier().c_str());
            return 1;
        }
        const double initial = static_cast<float>(*value->number());
        plugin << "        a lv2:InputPort , lv2:ControlPort ;\n"
               << "        lv2:index " << kFirstParameterPort + parameter->address() << " ;\n"
               << "        lv2:symbol " << quoted(parameter->identifier()) << " ;\n"
               << "        lv2:name " << quoted(parameter->displayName()) << " ;\n"
               << "        rdfs:comment " << quoted(describe(parameter->identifier())) << " ;\n"
               << "        lv2:default " << number(initial) << " ;\n"
               << "        lv2:minimum " << number(parameter->minValue()) << " ;\n"
               << "        lv2:maximum " << number(parameter->maxValue()) << "\n    ] , [\n";
    }
    plugin << "        a lv2:InputPort , lv2:ControlPort ;\n"
           << "        lv2:index " << kEnabledPort << " ;\n        lv2:symbol \"enabled\" ;\n"
           << "        lv2:name \"Enabled\" ;\n        lv2:designation lv2:enabled ;\n"
           << "        lv2:portProperty lv2:toggled , lv2:integer ;\n"
           << "        lv2:default 1 ;\n        lv2:minimum 0 ;\n        lv2:maximum 1\n    ] , [\n"
           << "        a lv2:OutputPort , lv2:ControlPort ;\n"
           << "        lv2:index " << kLatencyPort << " ;\n        lv2:symbol \"latency\" ;\n"
           << "        lv2:name \"Latency\" ;\n        lv2:designation lv2:latency ;\n"
           << "        lv2:portProperty lv2:reportsLatency , lv2:integer ;\n"
           << "        lv2:minimum 0 ;\n        lv2:maximum 0\n    ] .\n";

    fs::create_directories(out / "presets");
    int index = 0;
    for (const auto& preset : presets) {
        auto loaded = orvane::loadPresetFile(unitBundle, preset.filename);
        const platform::PropertyList state = loaded ? platform::PropertyList(std::move(*loaded)) : platform::PropertyList();
        const auto* values = state.find("orvane_params");
        if (!values || !values->dictionary()) {
            std::fprintf(stderr, "orvane-lv2-ttl: the preset %s has no parameters\n", preset.filename.c_str());
            return 1;
        }
        const std::string uri = std::string(kPresetURIPrefix) + std::to_string(index);
        const std::string file = "presets/" + std::to_string(index) + ".ttl";
        manifest << "\n<" << uri << ">\n    a pset:Preset ;\n    lv2:appliesTo <" << kPluginURI << "> ;\n"
                 << "    rdfs:label " << quoted(orvane::adapter::presetLabel(static_cast<std::size_t>(index), preset.name)) << " ;\n    rdfs:seeAlso <" << file
                 << "> .\n";
        std::ostringstream text;
        text << kPrefixes << "<" << uri << ">\n    a pset:Preset ;\n    lv2:appliesTo <" << kPluginURI << "> ;\n"
             << "    rdfs:label " << quoted(orvane::adapter::presetLabel(static_cast<std::size_t>(index), preset.name)) << " ;\n    lv2:port ";
        bool first = true;
        for (const auto& parameter : tree->allParameters()) {
            const auto* value = values->find(parameter->identifier());
            if (!value || !value->number()) continue;
            text << (first ? "[\n" : " , [\n") << "        lv2:symbol " << quoted(parameter->identifier())
                 << " ;\n        pset:value " << number(static_cast<float>(*value->number())) << "\n    ]";
            first = false;
        }
        text << " .\n";
        if (!write(out / file, text.str())) return 1;
        ++index;
    }
    if (!write(out / "manifest.ttl", manifest.str()) || !write(out / "orvane.ttl", plugin.str())) return 1;
    return 0;
}
