#pragma once

#include "engine/OrvaneDSPKernel.h"
#include "platform/audiounit/AUAudioUnit.h"
#include "platform/audiounit/AURandomSeeding.h"

#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

/// The object a host talks to: stereo in and out, the six parameters in a
/// flat tree whose values live in the kernel, a real-time render block,
/// factory presets from the bundle and a saved state.
///
/// Threads: the render block runs on the host's render thread; everything
/// else on host threads (parameter tree, presets and state from any of them;
/// render resources and reset only while the host is not rendering).
class OrvaneAudioUnit : public platform::AUAudioUnit, public platform::AURandomSeeding {
    struct Private {};

public:
    /// Builds a unit and selects factory preset 0 when the bundle has any.
    static std::expected<std::shared_ptr<OrvaneAudioUnit>, platform::Error> create(
        const platform::AudioComponentDescription& description,
        platform::AudioComponentInstantiationOptions options = {});

    explicit OrvaneAudioUnit(Private);
    ~OrvaneAudioUnit() override;

    std::shared_ptr<platform::AUAudioUnitBusArray> inputBusses() override;
    std::shared_ptr<platform::AUAudioUnitBusArray> outputBusses() override;
    std::shared_ptr<platform::AUParameterTree> parameterTree() override;
    void setParameterTree(std::shared_ptr<platform::AUParameterTree> tree) override;

    platform::AUInternalRenderBlock internalRenderBlock() override;
    std::expected<void, platform::Error> allocateRenderResources() override;
    void deallocateRenderResources() override;
    void reset() override;

    std::vector<std::shared_ptr<platform::AUAudioUnitPreset>> factoryPresets() override;
    std::shared_ptr<platform::AUAudioUnitPreset> currentPreset() override;
    void setCurrentPreset(std::shared_ptr<platform::AUAudioUnitPreset> preset) override;
    std::optional<platform::PropertyList::Dictionary> fullState() override;
    void setFullState(std::optional<platform::PropertyList::Dictionary> state) override;
    std::optional<platform::PropertyList::Dictionary> fullStateForDocument() override;
    void setFullStateForDocument(std::optional<platform::PropertyList::Dictionary> state) override;

    std::vector<int> channelCapabilities() override;
    double latency() override;
    double tailTime() override;
    bool shouldBypassEffect() override;
    void setShouldBypassEffect(bool bypass) override;

    /// The echo patterns' generators start from seed and seed + 1 at the
    /// next allocation of render resources.
    std::expected<void, platform::Error> setRandomSeed(std::uint32_t seed) override;

    /// The kernel, shared with every render block made from this unit.
    const std::shared_ptr<OrvaneDSPKernel> dspKernel;
    /// Each parameter's value right after its initial value was set: what a
    /// preset or state without that parameter returns to.
    std::map<std::string, platform::AUValue> defaultParameterValues;

private:
    std::expected<void, platform::Error> init(const platform::AudioComponentDescription& description,
                                              platform::AudioComponentInstantiationOptions options);
    void setupParameterTree();
    void setKernelParameter(platform::AUParameterAddress address, platform::AUValue value);
    platform::AUValue kernelParameter(platform::AUParameterAddress address) const;
    void syncKernelFromTree();
    void applyState(const platform::PropertyList::Dictionary& state);

    std::shared_ptr<platform::AUAudioUnitBusArray> _inputBusArray;
    std::shared_ptr<platform::AUAudioUnitBusArray> _outputBusArray;
    std::shared_ptr<platform::AUParameterTree> _parameterTree;
    std::shared_ptr<platform::AUAudioUnitPreset> _currentPreset;
    mutable std::mutex stateMutex_;
};

/// The kernel field that stores a parameter, or null for an address outside
/// 0 to 5.
std::atomic<float>* kernelField(OrvaneDSPKernel& kernel, platform::AUParameterAddress address) noexcept;

} // namespace orvane
