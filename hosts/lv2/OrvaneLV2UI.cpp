// The LV2 editor: the plug-in's own editor view, embedded in the host's
// window. It makes a unit of its own through the principal object for the
// knobs to bind to (that unit never renders) and mirrors its parameters to
// the host's control ports; the touch and release around a gesture on a knob
// go to the host's ui:touch when it offers one, so it can record automation
// passes. The editor opens at the host's ui:scaleFactor, else the display's
// own scale. Every call comes on the host's UI thread; the work happens in
// the idle callback. The only exported symbol is lv2ui_descriptor.

#include "hosts/adapter/EditorEmbedding.h"
#include "hosts/adapter/UnitBundle.h"
#include "hosts/lv2/OrvaneLV2.h"

#include <lv2/atom/atom.h>
#include <lv2/options/options.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include <cstring>
#include <memory>
#include <optional>

namespace {

using namespace orvane::lv2;

struct Editor {
    std::optional<orvane::adapter::UnitBundle> bundle;
    std::unique_ptr<orvane::adapter::ParameterMirror> mirror;
    std::unique_ptr<orvane::adapter::EmbeddedEditor> window;

    ~Editor() {
        // The window first: a drag it cancels still sends its release.
        window.reset();
        mirror.reset();
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
        auto bundle = orvane::adapter::UnitBundle::load(bundlePath);
        if (!bundle) return nullptr;
        editor->bundle.emplace(std::move(*bundle));
        auto unit = editor->bundle->createUnit();
        if (!unit) return nullptr;
        auto controller = std::dynamic_pointer_cast<platform::AUViewController>(editor->bundle->principal());
        if (!controller) return nullptr;
        const LV2UI_Touch* hostTouch = touch && touch->touch ? touch : nullptr;
        orvane::adapter::ParameterMirror::Callbacks callbacks;
        callbacks.edited = [write, hostController](platform::AUParameterAddress address, float value) {
            if (address < kParameterCount)
                write(hostController, kFirstParameterPort + static_cast<std::uint32_t>(address), sizeof(float), 0, &value);
        };
        callbacks.gesture = [hostTouch](platform::AUParameterAddress address, bool begins) {
            if (hostTouch && address < kParameterCount)
                hostTouch->touch(hostTouch->handle, kFirstParameterPort + static_cast<std::uint32_t>(address), begins);
        };
        editor->mirror = std::make_unique<orvane::adapter::ParameterMirror>(std::move(*unit), std::move(callbacks));
        auto window = orvane::adapter::EmbeddedEditor::open(controller, reinterpret_cast<unsigned long>(parent),
                                                            hostScaleFactor(options, map));
        if (!window) return nullptr;
        editor->window = std::move(*window);
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
    float value;
    std::memcpy(&value, buffer, sizeof value);
    self->mirror->setFromHost(port - kFirstParameterPort, value);
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
