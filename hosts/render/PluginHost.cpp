#include "hosts/render/PluginHost.h"

#include "hosts/render/RenderError.h"
#include "platform/audiounit/AURandomSeeding.h"
#include "platform/audiounit/AVAudioFormat.h"
#include "platform/foundation/PropertyList.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace orvane::render {

namespace {

constexpr const char* kBundleName = "OrvaneAUMac.appex";

/// The effect this host asks the bundle for.
const platform::AudioComponentDescription kOrvane{
    platform::fourCharCode("aufx"), platform::fourCharCode("orvn"), platform::fourCharCode("Orvn"), 0, 0};

std::vector<std::filesystem::path> defaultBundleLocations() {
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    const auto here = program.parent_path();
    return {here / kBundleName, here.parent_path() / kBundleName, here.parent_path().parent_path() / kBundleName,
            here.parent_path() / "lib" / "orvane" / "Orvane.app" / "PlugIns" / kBundleName,
            here.parent_path() / "lib" / "orvane" / kBundleName};
}

std::string lowercase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

platform::Error unusable(std::string message) { return makeError(ErrorCode::PlugInUnusable, std::move(message)); }

/// "04 Dark Wash": a preset's label, numbered from 1 as hosts show it.
std::string presetLabel(const platform::AUAudioUnitPreset& preset) {
    char number[24];
    std::snprintf(number, sizeof number, "%02lld", static_cast<long long>(preset.number + 1));
    return std::string(number) + " " + preset.name;
}

/// Whether `wanted` (lowercase) names the preset: its name, or its label
/// "04 Dark Wash", the number with any leading zeros and a space or a dash
/// ("4-dark wash", the demo's file names).
bool namesPreset(const std::string& wanted, const platform::AUAudioUnitPreset& preset) {
    const auto name = lowercase(preset.name);
    if (wanted == name) return true;
    const auto digits = wanted.find_first_not_of("0123456789");
    if (digits == 0 || digits == std::string::npos || digits + 1 >= wanted.size()) return false;
    if (wanted[digits] != ' ' && wanted[digits] != '-') return false;
    const auto number = wanted.substr(0, digits).find_first_not_of('0');
    return number != std::string::npos && wanted.substr(number, digits - number) == std::to_string(preset.number + 1) &&
           wanted.substr(digits + 1) == name;
}

std::expected<void, platform::Error> applyPreset(platform::AUAudioUnit& unit, const PresetChoice& choice) {
    const auto presets = unit.factoryPresets();
    std::shared_ptr<platform::AUAudioUnitPreset> chosen;
    // People count presets from 1, as the labels do; the unit from 0.
    if (const auto* number = std::get_if<std::uint32_t>(&choice)) {
        if (*number >= 1 && *number <= presets.size()) chosen = presets[*number - 1];
    } else {
        const auto wanted = lowercase(std::get<std::string>(choice));
        for (const auto& preset : presets) {
            if (namesPreset(wanted, *preset)) chosen = preset;
        }
    }
    if (!chosen) {
        std::string names;
        for (const auto& preset : presets) names += "\n  " + presetLabel(*preset);
        const std::string asked = std::holds_alternative<std::uint32_t>(choice)
                                      ? std::to_string(std::get<std::uint32_t>(choice))
                                      : "'" + std::get<std::string>(choice) + "'";
        const std::string counting =
            std::holds_alternative<std::uint32_t>(choice) ? " (numbered from 1, as their labels are)" : "";
        return std::unexpected(makeError(ErrorCode::UnknownPreset, "--preset: there is no factory preset " + asked +
                                                                       "; the presets are" + counting + ":" + names));
    }
    unit.setCurrentPreset(chosen);
    return {};
}

/// A four-character code as its characters when they are printable, else
/// as a number.
std::string codeText(std::int64_t code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto c = static_cast<unsigned char>((code >> shift) & 0xff);
        if (code < 0 || code > 0xffffffff || c < 0x20 || c > 0x7e) return std::to_string(code);
        text += static_cast<char>(c);
    }
    return "'" + text + "'";
}

/// Refuses a saved state that the unit would not apply exactly as written: a
/// host quietly falls back to defaults or clamps, but a command line that
/// names a file must render what the file says or say why it cannot.
std::expected<void, platform::Error> checkStateAsWritten(const platform::PropertyList& state,
                                                         const std::filesystem::path& file,
                                                         platform::AUAudioUnit& unit) {
    const auto refuse = [&](const std::string& why) {
        return std::unexpected(makeError(ErrorCode::StateUnreadable, "--state: " + quotedPath(file) + ": " + why));
    };
    if (const auto* version = state.find("orvane_state_version")) {
        if (!version->integer()) return refuse("\"orvane_state_version\" is not an integer");
        if (*version->integer() != 1) {
            return refuse("\"orvane_state_version\" is " + std::to_string(*version->integer()) +
                          ", but this version of the effect reads version 1 only");
        }
    }
    const auto& description = unit.componentDescription();
    const std::pair<const char*, std::uint32_t> codes[] = {{"type", description.componentType},
                                                           {"subtype", description.componentSubType},
                                                           {"manufacturer", description.componentManufacturer}};
    for (const auto& [key, expected] : codes) {
        const auto* value = state.find(key);
        if (!value) continue;
        if (!value->integer()) return refuse("\"" + std::string(key) + "\" is not an integer");
        if (*value->integer() != std::int64_t(expected)) {
            return refuse("saved by another plug-in: \"" + std::string(key) + "\" is " + codeText(*value->integer()) +
                          ", this effect's is " + codeText(expected));
        }
    }
    if (const auto* name = state.find("name"); name && !name->string()) return refuse("\"name\" is not a string");
    if (const auto* version = state.find("version"); version && !version->integer()) {
        return refuse("\"version\" is not an integer");
    }

    const auto* values = state.find("orvane_params")->dictionary();
    if (!values) return refuse("\"orvane_params\" is not a dictionary");
    auto tree = unit.parameterTree();
    const auto parameters = tree ? tree->allParameters() : std::vector<std::shared_ptr<platform::AUParameter>>{};
    std::string known;
    for (const auto& parameter : parameters) known += (known.empty() ? "" : ", ") + parameter->identifier();
    for (const auto& [key, value] : *values) {
        const auto match = std::find_if(parameters.begin(), parameters.end(),
                                        [&](const auto& parameter) { return parameter->identifier() == key; });
        if (match == parameters.end()) {
            return refuse("\"orvane_params\" holds \"" + key + "\", which is no parameter of this effect (it has " +
                          known + ")");
        }
        const auto number = value.number();
        if (!number) return refuse("the value of \"" + key + "\" is not a number");
        const auto low = (*match)->minValue();
        const auto high = (*match)->maxValue();
        if (!std::isfinite(*number) || *number < low || *number > high) {
            char range[64];
            std::snprintf(range, sizeof range, "%g to %g", double(low), double(high));
            return refuse("the value of \"" + key + "\", " + std::to_string(*number) + ", is outside " + range);
        }
    }
    for (const auto& parameter : parameters) {
        if (!values->contains(parameter->identifier())) {
            return refuse("\"orvane_params\" has no value for \"" + parameter->identifier() + "\"");
        }
    }
    return {};
}

std::expected<void, platform::Error> applyStateFile(platform::AUAudioUnit& unit, const std::filesystem::path& file) {
    auto plist = platform::readPropertyListFile(file);
    if (!plist) {
        return std::unexpected(makeError(ErrorCode::StateUnreadable, "--state: " + plist.error().message));
    }
    const auto* state = plist->dictionary();
    if (!state || !plist->find("orvane_params")) {
        return std::unexpected(makeError(ErrorCode::StateUnreadable,
                                         "--state: " + quotedPath(file) + " is not a saved state of this effect "
                                         "(no \"orvane_params\" dictionary)"));
    }
    if (auto checked = checkStateAsWritten(*plist, file, unit); !checked) return checked;
    unit.setFullState(*state);
    // The state becomes the current preset, a user preset under its own name,
    // so that saving it again keeps that name.
    auto named = std::make_shared<platform::AUAudioUnitPreset>();
    named->number = -1;
    const auto* name = plist->find("name");
    named->name = name && name->string() ? *name->string() : file.stem().string();
    unit.setCurrentPreset(std::move(named));
    return {};
}

} // namespace

std::expected<PluginHost, platform::Error> PluginHost::open(const std::optional<std::filesystem::path>& bundle) {
    std::filesystem::path folder;
    if (bundle) {
        folder = *bundle;
        // The folders users know as the plug-in hold the unit's bundle: the
        // LV2 bundle beside its binaries, the VST3 bundle among its resources.
        for (const auto& inside : {folder / kBundleName, folder / "Contents" / "Resources" / kBundleName}) {
            std::error_code error;
            if (std::filesystem::is_directory(inside, error)) {
                folder = inside;
                break;
            }
        }
    } else {
        const auto candidates = defaultBundleLocations();
        const auto found = std::find_if(candidates.begin(), candidates.end(),
                                        [](const auto& p) { return std::filesystem::is_directory(p); });
        if (found == candidates.end()) {
            std::string looked;
            for (const auto& c : candidates) looked += "\n  " + c.string();
            return std::unexpected(makeError(ErrorCode::PlugInNotFound, std::string("the plug-in bundle ") + kBundleName +
                                                                            " was not found; looked in:" + looked +
                                                                            "\npass --plugin FOLDER to name it"));
        }
        folder = *found;
    }
    auto loaded = platform::AUPlugInBundle::load(folder, kOrvane);
    if (!loaded) {
        const auto code = loaded.error().code == platform::kAUPlugInErr_NoSuchFolder ? ErrorCode::PlugInNotFound
                                                                                    : ErrorCode::PlugInUnusable;
        return std::unexpected(makeError(code, loaded.error().message));
    }
    return PluginHost(std::move(*loaded));
}

std::expected<std::shared_ptr<platform::AUAudioUnit>, platform::Error> PluginHost::createUnit() const {
    auto unit = loaded_.principal->createAudioUnit(loaded_.component.description);
    if (!unit) return std::unexpected(unusable("the plug-in could not make its unit: " + unit.error().message));
    return *unit;
}

std::expected<void, platform::Error> configureUnit(platform::AUAudioUnit& unit, const RenderOptions& options) {
    // The later of --preset and --state on the command line wins.
    if (options.preset && !options.presetAfterState) {
        if (auto done = applyPreset(unit, *options.preset); !done) return done;
    }
    if (options.stateFile) {
        if (auto done = applyStateFile(unit, *options.stateFile); !done) return done;
    }
    if (options.preset && options.presetAfterState) {
        if (auto done = applyPreset(unit, *options.preset); !done) return done;
    }
    if (!options.settings.empty()) {
        auto tree = unit.parameterTree();
        for (const auto& setting : options.settings) {
            std::shared_ptr<platform::AUParameter> parameter;
            std::string known;
            for (const auto& p : tree ? tree->allParameters() : std::vector<std::shared_ptr<platform::AUParameter>>{}) {
                if (lowercase(p->identifier()) == lowercase(setting.identifier)) parameter = p;
                known += " " + p->identifier();
            }
            if (!parameter) {
                return std::unexpected(makeError(ErrorCode::UnknownParameter, "--set: the effect has no parameter '" +
                                                                                  setting.identifier + "'; it has:" + known));
            }
            parameter->setValue(setting.value);
        }
    }
    if (options.seed) {
        auto* seeding = dynamic_cast<platform::AURandomSeeding*>(&unit);
        if (!seeding) return std::unexpected(unusable("--seed: this plug-in does not take a seed"));
        if (auto done = seeding->setRandomSeed(*options.seed); !done) return std::unexpected(unusable(done.error().message));
    }
    unit.setShouldBypassEffect(options.bypass);
    return {};
}

std::expected<void, platform::Error> checkSaveStateTarget(const std::filesystem::path& file) {
    const auto refuse = [&](const std::string& why) {
        return std::unexpected(makeError(ErrorCode::SaveStateRefused, "--save-state: " + quotedPath(file) + why));
    };
    std::error_code error;
    if (std::filesystem::is_directory(file, error)) return refuse(" is a folder");
    auto folder = file.parent_path();
    if (folder.empty()) folder = ".";
    if (!std::filesystem::is_directory(folder, error)) return refuse(": the folder " + quotedPath(folder) + " does not exist");
    // The state is written beside the file and renamed over it.
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        return refuse(": the folder " + quotedPath(folder) + " is not writable: " + std::system_category().message(errno));
    }
    return {};
}

std::expected<void, platform::Error> saveState(platform::AUAudioUnit& unit, const std::filesystem::path& file) {
    auto state = unit.fullState();
    if (!state) return std::unexpected(makeError(ErrorCode::StateNotSaved, "--save-state: the plug-in has no state to save"));
    auto written = platform::writePropertyListFile(file, platform::PropertyList(std::move(*state)), platform::PlistFormat::xml);
    if (!written) return std::unexpected(makeError(ErrorCode::StateNotSaved, "--save-state: " + written.error().message));
    return {};
}

PreparedUnit::PreparedUnit(std::shared_ptr<platform::AUAudioUnit> unit) : unit_(std::move(unit)) {
    // The input already sits in the buffers the unit renders in place, so
    // pulling it has nothing left to do.
    pull_ = [](platform::AudioUnitRenderActionFlags*, const platform::AudioTimeStamp*, platform::AUAudioFrameCount,
               platform::NSInteger, platform::AudioBufferList*) { return platform::noErr; };
    buffers_->mNumberBuffers = 2;
}

PreparedUnit::PreparedUnit(PreparedUnit&& other) noexcept
    : unit_(std::move(other.unit_)), render_(std::move(other.render_)), pull_(std::move(other.pull_)),
      buffers_(std::move(other.buffers_)), sampleTime_(other.sampleTime_) {}

PreparedUnit::~PreparedUnit() {
    if (unit_ && unit_->renderResourcesAllocated()) unit_->deallocateRenderResources();
}

std::expected<PreparedUnit, platform::Error> PreparedUnit::prepare(std::shared_ptr<platform::AUAudioUnit> unit,
                                                                   double sampleRate, std::uint32_t blockFrames) {
    auto format = platform::AVAudioFormat::standardFormat(sampleRate, 2);
    if (!format) return std::unexpected(unusable("a sample rate of " + std::to_string(sampleRate) + " Hz is not usable"));
    for (const auto& buses : {unit->inputBusses(), unit->outputBusses()}) {
        if (!buses || buses->count() == 0) return std::unexpected(unusable("the plug-in's unit has no audio bus"));
        if (auto set = buses->at(0)->setFormat(format); !set) {
            return std::unexpected(unusable("the plug-in refused " + std::to_string(sampleRate) + " Hz stereo: " +
                                            set.error().message));
        }
    }
    if (auto set = unit->setMaximumFramesToRender(blockFrames); !set) return std::unexpected(unusable(set.error().message));
    if (auto allocated = unit->allocateRenderResources(); !allocated) {
        return std::unexpected(unusable("the plug-in could not prepare to render: " + allocated.error().message));
    }
    PreparedUnit prepared(std::move(unit));
    prepared.render_ = prepared.unit_->internalRenderBlock();
    return prepared;
}

std::expected<void, platform::Error> PreparedUnit::process(std::span<float> left, std::span<float> right) {
    const auto frames = static_cast<platform::AUAudioFrameCount>(std::min(left.size(), right.size()));
    if (frames > unit_->maximumFramesToRender()) {
        return std::unexpected(makeError(ErrorCode::RenderFailed, "a block of " + std::to_string(frames) +
                                                                      " frames is longer than the unit was prepared for"));
    }
    buffers_.buffer(0) = {1, static_cast<std::uint32_t>(frames * sizeof(float)), left.data()};
    buffers_.buffer(1) = {1, static_cast<std::uint32_t>(frames * sizeof(float)), right.data()};
    platform::AudioTimeStamp stamp{};
    stamp.mSampleTime = sampleTime_;
    stamp.mFlags = platform::kAudioTimeStampSampleTimeValid;
    platform::AudioUnitRenderActionFlags flags = 0;
    const auto status = render_(&flags, &stamp, frames, 0, buffers_.get(), nullptr, &pull_);
    sampleTime_ += frames;
    if (status != platform::noErr) {
        return std::unexpected(makeError(ErrorCode::RenderFailed,
                                         "the plug-in's render call failed with status " + std::to_string(status)));
    }
    return {};
}

} // namespace orvane::render
