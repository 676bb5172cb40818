#include "editor/OrvaneAUViewControllerMac.h"

#include "artwork/KnobsStyleKit.h"
#include "editor/FlippedView.h"
#include "editor/KnobReadout.h"
#include "platform/foundation/MainQueue.h"

#include <X11/keysym.h>

#include <algorithm>
#include <cmath>
#include <list>
#include <string>
#include <string_view>

namespace orvane {

using platform::AUParameterAddress;
using platform::AUValue;

namespace {

/// One row per knob, in parameter-address order. The reset value is also the
/// value a knob shows until it is connected, and the one it falls back to when
/// the tree has no parameter at its address: the parameters' own defaults.
struct KnobRow {
    std::shared_ptr<AURotaryControl> OrvaneAUViewControllerMac::*field;
    const char* label;
    AUValue resetValue;
    std::string_view underlay;
    int gridIndex;
};

constexpr std::array<KnobRow, 6> kKnobs{{
    {&OrvaneAUViewControllerMac::premixKnob, "PREMIX", 0.5f, "PremixUnderlay", 4},
    {&OrvaneAUViewControllerMac::granularityKnob, "GRANULARITY", 0.0f, "GranularityUnderlay", 0},
    {&OrvaneAUViewControllerMac::incoherenceKnob, "INCOHERENCE", 0.0f, "IncoherenceUnderlay", 1},
    {&OrvaneAUViewControllerMac::impatienceKnob, "IMPATIENCE", 0.5f, "ImpatienceUnderlay", 2},
    {&OrvaneAUViewControllerMac::nauseaKnob, "NAUSEA", 0.0f, "NauseaUnderlay", 5},
    {&OrvaneAUViewControllerMac::gravitasKnob, "GRAVITAS", 0.0f, "GravitasUnderlay", 3},
}};

constexpr std::string_view kOverlay = "KnobOverlay";

/// Equal, or both NaN: a NaN the host set is still the current value.
bool isSameValue(AUValue a, AUValue b) { return a == b || (std::isnan(a) && std::isnan(b)); }
constexpr double kMinimumKnobSize = 8.0;

} // namespace

/// A few sizes' worth of pictures, the least recently used dropped first: a
/// live resize passes through many sizes and keeps none of them for long.
class OrvaneAUViewControllerMac::DialPictures {
public:
    std::shared_ptr<platform::NSImage> image(std::string_view name, double w, double h) {
        const auto found = std::find_if(entries_.begin(), entries_.end(),
                                        [&](const Entry& e) { return e.name == name && e.w == w && e.h == h; });
        if (found != entries_.end()) {
            entries_.splice(entries_.begin(), entries_, found);
            return found->image;
        }
        entries_.push_front({std::string(name), w, h, artworkImage(name, w, h, 1.0)});
        if (entries_.size() > kKept) entries_.pop_back();
        return entries_.front().image;
    }

private:
    // Seven pictures (six faces, one pointer) for four sizes.
    static constexpr std::size_t kKept = 28;
    struct Entry {
        std::string name;
        double w, h;
        std::shared_ptr<platform::NSImage> image;
    };
    std::list<Entry> entries_;
};

OrvaneAUViewControllerMac::~OrvaneAUViewControllerMac() = default;

std::expected<std::shared_ptr<platform::AUAudioUnit>, platform::Error>
OrvaneAUViewControllerMac::createAudioUnit(const platform::AudioComponentDescription& description) {
    auto created = OrvaneAudioUnit::create(description, {});
    if (!created) return std::unexpected(std::move(created.error()));

    std::shared_ptr<OrvaneAudioUnit> unit = std::move(*created);
    auto released = unit;
    {
        const std::lock_guard lock(audioUnitMutex_);
        _audioUnit.swap(released);
    }
    // The unit held before goes here, outside the lock.
    released.reset();
    // The host may ask for the view before or after the unit: whichever comes
    // second connects the two, on the main thread.
    platform::MainQueue::shared().enqueue([weakSelf = weak_from_this()] {
        if (auto self = weakSelf.lock()) self->connectViewToAudioUnit();
    });
    return unit;
}

std::string OrvaneAUViewControllerMac::displayTextForValue(platform::AUParameterAddress address,
                                                           platform::AUValue value) const {
    return knobReadout(address, value).text;
}

std::optional<platform::AUValue> OrvaneAUViewControllerMac::valueForDisplayText(platform::AUParameterAddress address,
                                                                               std::string_view text) const {
    return knobValueFromText(address, text);
}

std::shared_ptr<OrvaneAudioUnit> OrvaneAUViewControllerMac::audioUnit() const {
    const std::lock_guard lock(audioUnitMutex_);
    return _audioUnit;
}

void OrvaneAUViewControllerMac::loadView() {
    auto root = std::make_shared<FlippedView>(platform::NSRect{{0.0, 0.0}, kPreferredSize});
    root->setWantsLayer(true);
    root->layer()->setBackgroundColor(kPanelColor);
    root->setAutoresizingMask(platform::NSViewWidthSizable | platform::NSViewHeightSizable);
    root->setKeyDownHandler([weakSelf = weak_from_this()](const platform::NSKeyEvent& event) {
        auto self = weakSelf.lock();
        return self && self->handlePanelKey(event);
    });
    setView(std::move(root));
}

void OrvaneAUViewControllerMac::viewDidLoad() {
    AUViewController::viewDidLoad();
    setPreferredContentSize(kPreferredSize);
    createKnobs();
    layoutKnobs();
    connectViewToAudioUnit();
}

void OrvaneAUViewControllerMac::viewDidLayout() {
    AUViewController::viewDidLayout();
    layoutKnobs();
}

void OrvaneAUViewControllerMac::createKnobs() {
    const auto root = view();
    if (!dialPictures_) dialPictures_ = std::make_shared<DialPictures>();
    for (const KnobRow& row : kKnobs) {
        const auto address = static_cast<AUParameterAddress>(&row - kKnobs.data());
        auto knob = std::make_shared<AURotaryControl>(platform::NSRect{{0.0, 0.0}, {knobSize, knobSize}});
        knob->lowerBound = 0.0f;
        knob->upperBound = 1.0f;
        knob->resetValue = row.resetValue;
        knob->label = row.label;
        // The first shown value, set without a change notification.
        knob->_value = row.resetValue;
        knob->underlayImageProvider = [pictures = dialPictures_, name = row.underlay](double w, double h) {
            return pictures->image(name, w, h);
        };
        knob->overlayImageProvider = [pictures = dialPictures_](double w, double h) {
            return pictures->image(kOverlay, w, h);
        };
        knob->readoutImageProvider = [address, face = row.underlay](double w, double h, float value) {
            const KnobReadout readout = knobReadout(address, value);
            return KnobsStyleKit::imageOfPlaque({{0.0, 0.0}, {w, h}}, face, readout.text, readout.detail);
        };
        knob->readoutText = [address](float value) { return knobReadout(address, value).text; };
        knob->valueFromText = [address](std::string_view text) { return knobValueFromText(address, text); };
        knob->setAlwaysShowsReadout(showsValues_);
        knob->setTag(static_cast<std::int64_t>(address));
        knob->onValueChanged = [weakSelf = weak_from_this(), weakKnob = std::weak_ptr<AURotaryControl>(knob)] {
            auto self = weakSelf.lock();
            auto control = weakKnob.lock();
            if (!self || !control || control->tag() < 0) return;
            auto unit = self->audioUnit();
            if (!unit) return;
            auto tree = unit->parameterTree();
            if (!tree) return;
            if (auto parameter = tree->parameterWithAddress(static_cast<AUParameterAddress>(control->tag()))) {
                parameter->setValue(control->value());
            }
        };
        knob->onGestureBegan = [weakSelf = weak_from_this(), address] {
            if (auto self = weakSelf.lock()) self->announceGesture(address, platform::AUParameterAutomationEventTypeTouch);
        };
        knob->onGestureEnded = [weakSelf = weak_from_this(), address] {
            if (auto self = weakSelf.lock()) self->announceGesture(address, platform::AUParameterAutomationEventTypeRelease);
        };
        root->addSubview(knob);
        this->*row.field = std::move(knob);
    }
}

std::array<std::shared_ptr<AURotaryControl>, 6> OrvaneAUViewControllerMac::knobsInLayoutOrder() const {
    std::array<std::shared_ptr<AURotaryControl>, 6> ordered;
    for (const KnobRow& row : kKnobs) ordered[row.gridIndex] = this->*row.field;
    return ordered;
}

void OrvaneAUViewControllerMac::layoutKnobs() {
    const platform::NSRect box = view()->bounds();
    const double W = box.size.width, H = box.size.height;
    if (!(W > 0.0) || !(H > 0.0)) return;

    const double L = std::max(W, H), S = std::min(W, H);
    const double A = std::floor(std::min(std::sqrt(L * L + S * S) / 5.0, S / 2.3));
    const bool tall = W * 1.2 < H;
    const double B = std::floor((W - 8.0) / (tall ? 2.4 : 3.6));
    const double C = std::floor((H - 8.0) / (tall ? 3.6 : 2.4));
    knobSize = std::max(std::min({A, B, C}), kMinimumKnobSize);

    const auto knobs = knobsInLayoutOrder();
    for (const auto& knob : knobs) {
        if (!knob) continue;
        knob->setFrameSize({knobSize, knobSize});
        knob->updateLayers();
    }

    const double s = knobSize;
    const int columns = tall ? 2 : 3;
    const double gapX = tall ? (W - 2.0 * s) / 3.0 : (W - 3.0 * s) * 0.25;
    const double gapY = tall ? (H - 3.0 * s) * 0.25 : (H - 2.0 * s) / 3.0;
    for (int i = 0; i < 6; ++i) {
        if (!knobs[i]) continue;
        const int column = i % columns, row = i / columns;
        knobs[i]->setFrameOrigin({gapX + (gapX + s) * column, gapY + (gapY + s) * row});
    }
}

void OrvaneAUViewControllerMac::connectViewToAudioUnit() {
    if (!isViewLoaded()) return;
    auto unit = audioUnit();
    if (!unit) return;
    auto tree = unit->parameterTree();
    if (!tree) return;

    for (const KnobRow& row : kKnobs) {
        const auto& knob = this->*row.field;
        if (!knob) continue;
        auto parameter = tree->parameterWithAddress(static_cast<AUParameterAddress>(&row - kKnobs.data()));
        knob->setValue(parameter ? parameter->value() : row.resetValue);
    }

    // The observer may run on any thread: it only hands the change to the
    // main queue, where the knob moves. A change that a later one has already
    // overtaken by the time its task runs is dropped: applying it would turn
    // the knob back, the knob would write the old value again, and two queued
    // changes would chase each other for ever.
    paramObserverToken = tree->tokenByAddingParameterObserver(
        [weakSelf = weak_from_this(), weakTree = std::weak_ptr(tree)](AUParameterAddress address, AUValue value) {
            platform::MainQueue::shared().enqueue([weakSelf, weakTree, address, value] {
                auto self = weakSelf.lock();
                if (!self) return;
                if (auto tree = weakTree.lock()) {
                    auto parameter = tree->parameterWithAddress(address);
                    if (parameter && !isSameValue(parameter->value(), value)) return;
                }
                self->applyParameterValue(address, value);
            });
        });
}

void OrvaneAUViewControllerMac::announceGesture(std::int64_t tag, platform::AUParameterAutomationEventType eventType) {
    auto* knob = tag >= 0 ? knobForAddress(static_cast<AUParameterAddress>(tag)) : nullptr;
    auto unit = audioUnit();
    auto tree = unit ? unit->parameterTree() : nullptr;
    auto parameter = tree ? tree->parameterWithAddress(static_cast<AUParameterAddress>(tag)) : nullptr;
    if (!knob || !*knob || !parameter) return;
    parameter->setValue((*knob)->value(), nullptr, 0, eventType);
}

void OrvaneAUViewControllerMac::setShowsValues(bool shows) {
    showsValues_ = shows;
    for (const KnobRow& row : kKnobs)
        if (const auto& knob = this->*row.field) knob->setAlwaysShowsReadout(shows);
}

bool OrvaneAUViewControllerMac::handlePanelKey(const platform::NSKeyEvent& event) {
    if (event.control || event.alt || !isViewLoaded()) return false;
    const auto root = view();
    const bool back = event.keysym == XK_ISO_Left_Tab || (event.keysym == XK_Tab && event.shift);
    if (event.keysym == XK_Tab || back) {
        // Reading order is the grid's, whether wide or tall; round and round.
        const auto knobs = knobsInLayoutOrder();
        const auto focused =
            std::find_if(knobs.begin(), knobs.end(), [](const auto& knob) { return knob && knob->hasKeyFocus(); });
        const int n = static_cast<int>(knobs.size());
        int i = focused == knobs.end() ? (back ? n - 1 : 0)
                                       : (static_cast<int>(focused - knobs.begin()) + (back ? n - 1 : 1)) % n;
        for (int tried = 0; tried < n && !knobs[i]; ++tried) i = (i + (back ? n - 1 : 1)) % n;
        if (knobs[i]) root->makeFirstResponder(knobs[i].get());
        return true;
    }
    if (event.keysym == XK_Escape) {
        if (!root->firstResponder()) return false;
        root->makeFirstResponder(nullptr);
        return true;
    }
    if (event.keysym == XK_v && !event.shift) {
        setShowsValues(!showsValues_);
        return true;
    }
    return false;
}

std::shared_ptr<AURotaryControl>* OrvaneAUViewControllerMac::knobForAddress(AUParameterAddress address) {
    if (address >= kKnobs.size()) return nullptr;
    return &(this->*kKnobs[address].field);
}

void OrvaneAUViewControllerMac::applyParameterValue(AUParameterAddress address, AUValue value) {
    auto* knob = knobForAddress(address);
    if (knob && *knob) (*knob)->setValue(value);
}

} // namespace orvane
