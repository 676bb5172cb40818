#pragma once

#include "hosts/adapter/PluginUnits.h"

#include <pluginterfaces/vst/ivstaudioprocessor.h>
#include <pluginterfaces/vst/ivstcomponent.h>
#include <pluginterfaces/vst/ivsteditcontroller.h>
#include <pluginterfaces/vst/ivstparameterchanges.h>
#include <pluginterfaces/vst/ivstunits.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>

namespace orvane::vst3 {

/// Orvane as one VST3 object: the audio processor and its edit controller
/// together, so whichever side a host restores, both sides end up with the
/// state. It drives two units of the unit's bundle through the host
/// contract: one renders, the other never does and holds the parameters as
/// the host's controller side sees them, for the editor's knobs to bind to.
///
/// Threads: process runs on the host's audio thread, where nothing
/// allocates, locks or makes a system call; every other call comes on the
/// host's UI thread.
class Plugin final : public Steinberg::Vst::IComponent,
                     public Steinberg::Vst::IAudioProcessor,
                     public Steinberg::Vst::IEditController,
                     public Steinberg::Vst::IUnitInfo,
                     public Steinberg::Vst::IProcessContextRequirements {
public:
    /// The plug-in bundle whose unit it loads: the folder Orvane.vst3.
    explicit Plugin(std::filesystem::path bundleFolder);

    // FUnknown
    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** object) override;
    Steinberg::uint32 PLUGIN_API addRef() override;
    Steinberg::uint32 PLUGIN_API release() override;

    // IPluginBase, through both sides
    Steinberg::tresult PLUGIN_API initialize(Steinberg::FUnknown* context) override;
    Steinberg::tresult PLUGIN_API terminate() override;

    // IComponent
    Steinberg::tresult PLUGIN_API getControllerClassId(Steinberg::TUID classId) override;
    Steinberg::tresult PLUGIN_API setIoMode(Steinberg::Vst::IoMode mode) override;
    Steinberg::int32 PLUGIN_API getBusCount(Steinberg::Vst::MediaType type, Steinberg::Vst::BusDirection dir) override;
    Steinberg::tresult PLUGIN_API getBusInfo(Steinberg::Vst::MediaType type, Steinberg::Vst::BusDirection dir,
                                             Steinberg::int32 index, Steinberg::Vst::BusInfo& bus) override;
    Steinberg::tresult PLUGIN_API getRoutingInfo(Steinberg::Vst::RoutingInfo& in, Steinberg::Vst::RoutingInfo& out) override;
    Steinberg::tresult PLUGIN_API activateBus(Steinberg::Vst::MediaType type, Steinberg::Vst::BusDirection dir,
                                              Steinberg::int32 index, Steinberg::TBool state) override;
    Steinberg::tresult PLUGIN_API setActive(Steinberg::TBool state) override;
    /// Both sides' state: restores both units.
    Steinberg::tresult PLUGIN_API setState(Steinberg::IBStream* state) override;
    Steinberg::tresult PLUGIN_API getState(Steinberg::IBStream* state) override;

    // IAudioProcessor
    Steinberg::tresult PLUGIN_API setBusArrangements(Steinberg::Vst::SpeakerArrangement* inputs, Steinberg::int32 numIns,
                                                     Steinberg::Vst::SpeakerArrangement* outputs,
                                                     Steinberg::int32 numOuts) override;
    Steinberg::tresult PLUGIN_API getBusArrangement(Steinberg::Vst::BusDirection dir, Steinberg::int32 index,
                                                    Steinberg::Vst::SpeakerArrangement& arrangement) override;
    Steinberg::tresult PLUGIN_API canProcessSampleSize(Steinberg::int32 symbolicSampleSize) override;
    Steinberg::uint32 PLUGIN_API getLatencySamples() override;
    Steinberg::tresult PLUGIN_API setupProcessing(Steinberg::Vst::ProcessSetup& setup) override;
    Steinberg::tresult PLUGIN_API setProcessing(Steinberg::TBool state) override;
    Steinberg::tresult PLUGIN_API process(Steinberg::Vst::ProcessData& data) override;
    Steinberg::uint32 PLUGIN_API getTailSamples() override;

    // IProcessContextRequirements
    Steinberg::uint32 PLUGIN_API getProcessContextRequirements() override { return 0; }

    // IEditController
    Steinberg::tresult PLUGIN_API setComponentState(Steinberg::IBStream* state) override;
    Steinberg::int32 PLUGIN_API getParameterCount() override;
    Steinberg::tresult PLUGIN_API getParameterInfo(Steinberg::int32 index, Steinberg::Vst::ParameterInfo& info) override;
    Steinberg::tresult PLUGIN_API getParamStringByValue(Steinberg::Vst::ParamID id, Steinberg::Vst::ParamValue value,
                                                        Steinberg::Vst::String128 string) override;
    Steinberg::tresult PLUGIN_API getParamValueByString(Steinberg::Vst::ParamID id, Steinberg::Vst::TChar* string,
                                                        Steinberg::Vst::ParamValue& value) override;
    Steinberg::Vst::ParamValue PLUGIN_API normalizedParamToPlain(Steinberg::Vst::ParamID id,
                                                                 Steinberg::Vst::ParamValue value) override;
    Steinberg::Vst::ParamValue PLUGIN_API plainParamToNormalized(Steinberg::Vst::ParamID id,
                                                                 Steinberg::Vst::ParamValue value) override;
    Steinberg::Vst::ParamValue PLUGIN_API getParamNormalized(Steinberg::Vst::ParamID id) override;
    Steinberg::tresult PLUGIN_API setParamNormalized(Steinberg::Vst::ParamID id, Steinberg::Vst::ParamValue value) override;
    Steinberg::tresult PLUGIN_API setComponentHandler(Steinberg::Vst::IComponentHandler* handler) override;
    Steinberg::IPlugView* PLUGIN_API createView(Steinberg::FIDString name) override;

    // IUnitInfo
    Steinberg::int32 PLUGIN_API getUnitCount() override { return 1; }
    Steinberg::tresult PLUGIN_API getUnitInfo(Steinberg::int32 index, Steinberg::Vst::UnitInfo& info) override;
    Steinberg::int32 PLUGIN_API getProgramListCount() override { return 1; }
    Steinberg::tresult PLUGIN_API getProgramListInfo(Steinberg::int32 index, Steinberg::Vst::ProgramListInfo& info) override;
    Steinberg::tresult PLUGIN_API getProgramName(Steinberg::Vst::ProgramListID list, Steinberg::int32 index,
                                                 Steinberg::Vst::String128 name) override;
    Steinberg::tresult PLUGIN_API getProgramInfo(Steinberg::Vst::ProgramListID, Steinberg::int32, Steinberg::Vst::CString,
                                                 Steinberg::Vst::String128) override {
        return Steinberg::kResultFalse;
    }
    Steinberg::tresult PLUGIN_API hasProgramPitchNames(Steinberg::Vst::ProgramListID, Steinberg::int32) override {
        return Steinberg::kResultFalse;
    }
    Steinberg::tresult PLUGIN_API getProgramPitchName(Steinberg::Vst::ProgramListID, Steinberg::int32, Steinberg::int16,
                                                      Steinberg::Vst::String128) override {
        return Steinberg::kResultFalse;
    }
    Steinberg::Vst::UnitID PLUGIN_API getSelectedUnit() override { return Steinberg::Vst::kRootUnitId; }
    Steinberg::tresult PLUGIN_API selectUnit(Steinberg::Vst::UnitID) override { return Steinberg::kResultTrue; }
    Steinberg::tresult PLUGIN_API getUnitByBus(Steinberg::Vst::MediaType, Steinberg::Vst::BusDirection, Steinberg::int32,
                                               Steinberg::int32, Steinberg::Vst::UnitID&) override {
        return Steinberg::kResultFalse;
    }
    Steinberg::tresult PLUGIN_API setUnitProgramData(Steinberg::int32, Steinberg::int32, Steinberg::IBStream*) override {
        return Steinberg::kNotImplemented;
    }

    /// What the editor view needs: the editor's controller and the scale
    /// the host asked for.
    std::shared_ptr<platform::AUViewController> editorController() const;

private:
    ~Plugin();
    void selectProgram(std::size_t index);
    /// Schedules a knob's points from the host, and the steps of the line
    /// between each and the one before.
    void scheduleRamp(Steinberg::Vst::ParamID id, Steinberg::Vst::IParamValueQueue& queue);
    void tellHostValuesChanged();
    /// Records that the controller side holds values the rendering side may
    /// not have heard yet.
    void controllerChanged();
    std::optional<platform::AUParameterAddress> knobAddress(Steinberg::Vst::ParamID id) const;

    std::atomic<Steinberg::uint32> references_{1};
    std::filesystem::path bundleFolder_;
    bool initialized_ = false;

    std::unique_ptr<adapter::PluginUnits> units_;
    std::shared_ptr<platform::AUAudioUnit> renderingUnit_;
    adapter::UnitRenderer* renderer_ = nullptr;
    std::shared_ptr<platform::AUAudioUnit> controllerUnit_;
    adapter::ParameterMirror* mirror_ = nullptr;
    adapter::ParameterTable table_;
    Steinberg::Vst::IComponentHandler* handler_ = nullptr;

    Steinberg::Vst::ProcessSetup setup_{Steinberg::Vst::kRealtime, Steinberg::Vst::kSample32, 1024, 44100.0};
    /// The controller side's view of the bypass and of the program chosen.
    bool bypassed_ = false;
    std::size_t program_ = 0;
    /// processCalls_ when the controller side last changed a value; while
    /// no process call has come since, the controller side is the newer.
    std::uint64_t controllerChangedAt_ = ~std::uint64_t{0};
    std::atomic<std::uint64_t> processCalls_{0};

    /// Set on the UI thread when the rendering unit's values changed behind
    /// the host's back (a state or preset loaded): ramps start afresh.
    std::atomic<bool> forgetRamps_{false};

    // Audio thread only.
    std::uint64_t silentFrames_ = 0;
    /// Each knob's last value from the host's automation, where a ramp to
    /// its next point starts; unknown before the first point.
    /// Room for every knob, whose identifiers are its address (0 to 5).
    static constexpr std::size_t kRampedKnobs = 8;
    std::array<float, kRampedKnobs> rampFrom_{};
    std::array<bool, kRampedKnobs> rampKnown_{};
};

} // namespace orvane::vst3
