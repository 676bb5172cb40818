// The entry point of the OrvaneAUMac module: the only symbol it exports.

#include "editor/OrvaneAUViewControllerMac.h"
#include "platform/audiounit/AUExtensionEntryPoint.h"

#include <memory>

extern "C" void AUExtensionCreatePrincipalObject(
    std::shared_ptr<platform::AUAudioUnitFactory>* principal) noexcept {
    if (!principal) return;
    try {
        *principal = std::make_shared<orvane::OrvaneAUViewControllerMac>();
    } catch (...) {
        principal->reset();
    }
}
