// A plug-in module for the loader tests. Its principal object makes the gain
// unit of TestUnits.h. Built twice: as is, and with FIXTURE_ENTRY_RETURNS_NOTHING,
// whose entry point leaves the principal object empty.

#include "platform/audiounit/AUExtensionEntryPoint.h"
#include "tests/platform/audiounit/TestUnits.h"

namespace {

class FixtureFactory : public platform::AUAudioUnitFactory {
public:
    std::expected<std::shared_ptr<platform::AUAudioUnit>, platform::Error> createAudioUnit(
        const platform::AudioComponentDescription& description) override {
        auto unit = audiounit_test::GainUnit::create(description);
        if (!unit) return std::unexpected(unit.error());
        return *unit;
    }
};

} // namespace

extern "C" void AUExtensionCreatePrincipalObject(
    std::shared_ptr<platform::AUAudioUnitFactory>* principal) noexcept {
#ifdef FIXTURE_ENTRY_RETURNS_NOTHING
    principal->reset();
#else
    try {
        *principal = std::make_shared<FixtureFactory>();
    } catch (...) {
        principal->reset();
    }
#endif
}
