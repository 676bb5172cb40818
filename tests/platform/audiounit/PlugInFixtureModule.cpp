// A plug-in module for the loader tests whose entry point yields no principal object.

#include "platform/audiounit/AUExtensionEntryPoint.h"

extern "C" void AUExtensionCreatePrincipalObject(std::shared_ptr<platform::AUAudioUnitFactory>* principal) noexcept {
    principal->reset();
}
