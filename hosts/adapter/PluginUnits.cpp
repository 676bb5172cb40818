#include "hosts/adapter/PluginUnits.h"

#include "hosts/adapter/StateData.h"
#include "platform/foundation/MainQueue.h"

namespace orvane::adapter {

std::expected<std::unique_ptr<PluginUnits>, platform::Error> PluginUnits::load(const std::filesystem::path& pluginFolder,
                                                                               ParameterMirror::Callbacks callbacks) {
    auto bundle = UnitBundle::load(pluginFolder);
    if (!bundle) return std::unexpected(std::move(bundle.error()));
    std::unique_ptr<PluginUnits> units(new PluginUnits(std::move(*bundle)));
    auto rendering = units->bundle.createUnit();
    if (!rendering) return std::unexpected(std::move(rendering.error()));
    auto controller = units->bundle.createUnit();
    if (!controller) return std::unexpected(std::move(controller.error()));
    units->rendering = std::move(*rendering);
    units->controller = std::move(*controller);
    units->table = ParameterTable::describe(*units->controller, units->bundle.principal());
    units->renderer = std::make_unique<UnitRenderer>(units->rendering);
    units->mirror = std::make_unique<ParameterMirror>(units->controller, std::move(callbacks));
    platform::MainQueue::shared().runPending();
    return units;
}

PluginUnits::~PluginUnits() {
    mirror.reset();
    renderer.reset();
    controller.reset();
    rendering.reset();
    platform::MainQueue::shared().runPending();
}

std::expected<platform::PropertyList::Dictionary, platform::Error> PluginUnits::restoreState(
    std::span<const std::uint8_t> bytes) {
    auto restored = restoreStateData(*rendering, bytes);
    if (!restored) return restored;
    mirror->applyFromHost([&](platform::AUAudioUnit& unit) { (void)restoreStateData(unit, bytes); });
    return restored;
}

std::shared_ptr<platform::AUViewController> PluginUnits::editorController() const {
    return std::dynamic_pointer_cast<platform::AUViewController>(bundle.principal());
}

} // namespace orvane::adapter
