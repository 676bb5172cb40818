// The LV2 editor: the plug-in's own editor view, embedded in the host's
// window. It makes a unit of its own through the principal object for the
// knobs to bind to (that unit never renders) and mirrors its parameters to
// the host's control ports; the touch and release around a gesture on a knob
// go to the host's ui:touch when it offers one, so it can record automation
// passes. The editor opens at the host's ui:scaleFactor, else the display's
// own scale. Every call comes on the host's UI thread; the work happens in
// the idle callback. The only exported symbol is lv2ui_descriptor.

#include "hosts/lv2/OrvaneLV2.h"
#include "platform/audiounit/AUPlugInBundle.h"
#include "platform/foundation/MainQueue.h"
#include "platform/ui/AUViewController.h"
#include "platform/ui/X11Window.h"

#include <lv2/atom/atom.h>
#include <lv2/options/options.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <memory>

namespace {

using namespace orvane::lv2;

struct Editor {
    platform::LoadedPlugIn loaded;
    std::shared_ptr<platform::AUAudioUnit> unit;
    std::shared_ptr<platform::AUViewController> controller;
    std::unique_ptr<platform::X11Window> window;
    platform::AUParameterObserverToken token = nullptr;
    LV2UI_Write_Function write = nullptr;
    LV2UI_Controller hostController = nullptr;
    const LV2UI_Touch* touch = nullptr;
    /// What the host's ports hold as far as we know: a value equal to it is
    /// never written back, so host changes are not echoed.
    std::array<float, kParameterCount> known{};
    std::array<bool, kParameterCount> isKnown{};

    ~Editor() {
        // The window first: a drag it cancels still sends its release.
        window.reset();
        if (token && unit) {
            if (auto tree = unit->parameterTree()) tree->removeParameterObserverWithToken(token);
        }
        controller.reset();
        unit.reset();
        // Tasks the editor queued find it gone and end here, not in the host.
        platform::MainQueue::shared().runPending();
    }
};

/// The host's ui:scaleFactor, when it gives one as a float option; 0 else.
double hostScaleFactor(const LV2_Options_Option* options, const LV2_URID_Map* map) {
    if (!options || !map) return 0.0;
    const LV2_URID scaleFactor = map->map(map->handle, LV2_UI__scaleFactor);
    const LV2_URID atomFloat = map->map(map->handle, LV2_ATOM__Float);
    for (auto o = options; o->key != 0; ++o) {
        if (o->key != scaleFactor || o->type != atomFloat || o->size != sizeof(float) || !o->value) continue;
        float scale;
        std::memcpy(&scale, o->value, sizeof scale);
        if (scale > 0.0f) return scale;
    }
    return 0.0;
}

LV2UI_Handle instantiate(const LV2UI_Descriptor*, const char*, const char* bundlePath, LV2UI_Write_Function write,
                         LV2UI_Controller hostController, LV2UI_Widget* widget, const LV2_Feature* const* features) {
    void* parent = nullptr;
    const LV2UI_Resize* resize = nullptr;
    const LV2UI_Touch* touch = nullptr;
    const LV2_Options_Option* options = nullptr;
    const LV2_URID_Map* map = nullptr;
    for (auto f = features; f && *f; ++f) {
        if (!std::strcmp((*f)->URI, LV2_UI__parent)) parent = (*f)->data;
        if (!std::strcmp((*f)->URI, LV2_UI__resize)) resize = static_cast<const LV2UI_Resize*>((*f)->data);
        if (!std::strcmp((*f)->URI, LV2_UI__touch)) touch = static_cast<const LV2UI_Touch*>((*f)->data);
        if (!std::strcmp((*f)->URI, LV2_OPTIONS__options)) options = static_cast<const LV2_Options_Option*>((*f)->data);
        if (!std::strcmp((*f)->URI, LV2_URID__map)) map = static_cast<const LV2_URID_Map*>((*f)->data);
    }
    if (!parent) return nullptr;
    try {
        auto editor = std::make_unique<Editor>();
        editor->write = write;
        editor->hostController = hostController;
        editor->touch = touch && touch->touch ? touch : nullptr;
        auto loaded = loadUnitBundle(bundlePath);
        if (!loaded) return nullptr;
        editor->loaded = std::move(*loaded);
        auto unit = editor->loaded.principal->createAudioUnit(editor->loaded.component.description);
        if (!unit) return nullptr;
        editor->unit = std::move(*unit);
        editor->controller = std::dynamic_pointer_cast<platform::AUViewController>(editor->loaded.principal);
        if (!editor->controller) return nullptr;
        auto view = editor->controller->view();
        platform::MainQueue::shared().runPending();

        if (auto tree = editor->unit->parameterTree()) {
            Editor* self = editor.get();
            editor->token = tree->tokenByAddingParameterAutomationObserver(
                [self](platform::NSInteger count, const platform::AUParameterAutomationEvent* events) {
                    for (platform::NSInteger i = 0; i < count; ++i) {
                        const auto& event = events[i];
                        if (event.address >= kParameterCount) continue;
                        const auto port = kFirstParameterPort + static_cast<std::uint32_t>(event.address);
                        if (event.eventType != platform::AUParameterAutomationEventTypeValue) {
                            if (self->touch)
                                self->touch->touch(self->touch->handle, port,
                                                   event.eventType == platform::AUParameterAutomationEventTypeTouch);
                            continue;
                        }
                        const float value = event.value;
                        if (self->isKnown[event.address] && self->known[event.address] == value) continue;
                        self->known[event.address] = value;
                        self->isKnown[event.address] = true;
                        self->write(self->hostController, port, sizeof(float), 0, &value);
                    }
                });
        }

        platform::X11Window::Options windowOptions;
        windowOptions.title = "Orvane";
        windowOptions.parent = reinterpret_cast<unsigned long>(parent);
        const auto size = editor->controller->preferredContentSize();
        windowOptions.size = size.width >= 1.0 && size.height >= 1.0 ? size : platform::NSSize{420.0, 280.0};
        windowOptions.scale = hostScaleFactor(options, map);
        auto window = platform::X11Window::open(view, windowOptions);
        if (!window) return nullptr;
        editor->window = std::move(*window);
        editor->window->show();
        const platform::NSSize pixels = editor->window->pixelSize();
        if (resize) resize->ui_resize(resize->handle, static_cast<int>(pixels.width), static_cast<int>(pixels.height));
        *widget = reinterpret_cast<LV2UI_Widget>(editor->window->windowID());
        return editor.release();
    } catch (...) {
        return nullptr;
    }
}

void cleanup(LV2UI_Handle handle) { delete static_cast<Editor*>(handle); }

void portEvent(LV2UI_Handle handle, std::uint32_t port, std::uint32_t size, std::uint32_t format, const void* buffer) {
    auto* self = static_cast<Editor*>(handle);
    if (format != 0 || size != sizeof(float) || port < kFirstParameterPort || port >= kFirstParameterPort + kParameterCount)
        return;
    const std::uint32_t address = port - kFirstParameterPort;
    float value;
    std::memcpy(&value, buffer, sizeof value);
    self->known[address] = value;
    self->isKnown[address] = true;
    auto tree = self->unit->parameterTree();
    if (auto parameter = tree ? tree->parameterWithAddress(address) : nullptr) parameter->setValue(value);
}

int idle(LV2UI_Handle handle) {
    auto* self = static_cast<Editor*>(handle);
    if (self->window) self->window->step();
    return 0;
}

const LV2UI_Idle_Interface kIdle{idle};

const void* extensionData(const char* uri) { return !std::strcmp(uri, LV2_UI__idleInterface) ? &kIdle : nullptr; }

const LV2UI_Descriptor kDescriptor{kUIURI, instantiate, cleanup, portEvent, extensionData};

} // namespace

extern "C" LV2_SYMBOL_EXPORT const LV2UI_Descriptor* lv2ui_descriptor(std::uint32_t index) {
    return index == 0 ? &kDescriptor : nullptr;
}
