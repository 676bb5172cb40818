// The editor as a CLAP host embeds it: the unit's own editor view in an X11
// child of the host's window, driven by a timer of the host's (the X
// connection's events, the main queue and the knobs following the host),
// resized with the host and drawn at its scale.

#include "hosts/clap/OrvaneCLAPPlugin.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace orvane::clap {

namespace {

/// How often the timer serves the editor, in milliseconds.
constexpr std::uint32_t kTimerMilliseconds = 16;

} // namespace

bool Plugin::guiCreate(const char* api, bool floating) {
    if (!units_ || guiCreated_ || !api || std::strcmp(api, CLAP_WINDOW_API_X11) != 0 || floating) return false;
    if (!units_->editorController()) return false;
    guiCreated_ = true;
    return true;
}

void Plugin::guiDestroy() {
    closeEditor();
    guiCreated_ = false;
    parent_ = 0;
    // The next editor starts afresh, as the host tells it again.
    hostScale_ = 0.0;
    hostSize_ = {0.0, 0.0};
}

bool Plugin::guiSetScale(double scale) {
    if (!guiCreated_ || !(scale > 0.0)) return false;
    const double old = adapter::EmbeddedEditor::scaleOr(hostScale_);
    hostScale_ = scale;
    if (!editor_ || std::abs(old - hostScale_) < 1e-6) return true;
    // The window is drawn at one scale for its life: open it again at the
    // new one, as large in points as before.
    const auto pixels = editor_->pixelSize();
    hostSize_ = {std::round(pixels.width / old * hostScale_), std::round(pixels.height / old * hostScale_)};
    closeEditor();
    if (!openEditor()) return false;
    if (hostGui_ && hostGui_->request_resize)
        hostGui_->request_resize(host_, static_cast<std::uint32_t>(hostSize_.width),
                                 static_cast<std::uint32_t>(hostSize_.height));
    return true;
}

bool Plugin::guiGetSize(std::uint32_t& width, std::uint32_t& height) const {
    if (!guiCreated_) return false;
    platform::NSSize size = hostSize_;
    if (editor_) size = editor_->pixelSize();
    else if (!(size.width > 0.0 && size.height > 0.0))
        size = adapter::EmbeddedEditor::preferredPixelSize(*units_->editorController(),
                                                           adapter::EmbeddedEditor::scaleOr(hostScale_));
    width = static_cast<std::uint32_t>(size.width);
    height = static_cast<std::uint32_t>(size.height);
    return true;
}

bool Plugin::guiAdjustSize(std::uint32_t& width, std::uint32_t& height) const {
    if (!guiCreated_) return false;
    const auto smallest = adapter::EmbeddedEditor::smallestPixelSize(*units_->editorController(),
                                                                     adapter::EmbeddedEditor::scaleOr(hostScale_));
    width = std::max(width, static_cast<std::uint32_t>(smallest.width));
    height = std::max(height, static_cast<std::uint32_t>(smallest.height));
    return true;
}

bool Plugin::guiSetSize(std::uint32_t width, std::uint32_t height) {
    if (!guiAdjustSize(width, height)) return false;
    hostSize_ = {double(width), double(height)};
    if (editor_) {
        editor_->setPixelSize(hostSize_);
        editor_->step();
    }
    return true;
}

bool Plugin::guiSetParent(const clap_window_t* window) {
    if (!guiCreated_ || !window || !window->api || std::strcmp(window->api, CLAP_WINDOW_API_X11) != 0 || !window->x11)
        return false;
    // Without the host's timer nothing would ever draw or answer.
    timers_ = hostExtension<clap_host_timer_support_t>(CLAP_EXT_TIMER_SUPPORT);
    if (!timers_ || !timers_->register_timer || !timers_->unregister_timer) return false;
    closeEditor();
    parent_ = window->x11;
    return openEditor();
}

bool Plugin::openEditor() {
    auto editor = adapter::EmbeddedEditor::open(units_->editorController(), parent_, hostScale_);
    if (!editor) return false;
    if (!timers_->register_timer(host_, kTimerMilliseconds, &timer_)) {
        timer_ = CLAP_INVALID_ID;
        return false;
    }
    editor_ = std::move(*editor);
    if (hostSize_.width > 0.0 && hostSize_.height > 0.0) editor_->setPixelSize(hostSize_);
    editor_->step();
    return true;
}

void Plugin::closeEditor() {
    if (timer_ != CLAP_INVALID_ID && timers_) timers_->unregister_timer(host_, timer_);
    timer_ = CLAP_INVALID_ID;
    // A drag it cancels ends its gesture, which goes to the host as any edit.
    editor_.reset();
}

void Plugin::onTimer(clap_id timer) {
    if (timer != timer_ || !editor_) return;
    followHost();
    editor_->step();
}

void Plugin::followHost() {
    auto tree = units_->rendering->parameterTree();
    if (!tree) return;
    for (std::size_t a = 0; a < kKnobs; ++a) {
        if (gesturing_[a] || editsTaken_[a].load(std::memory_order_relaxed) != editsMade_[a]) continue;
        auto parameter = tree->parameterWithAddress(a);
        if (!parameter) continue;
        const float value = parameter->value();
        if (value != units_->mirror->value(a)) units_->mirror->setFromHost(a, value);
    }
}

} // namespace orvane::clap
