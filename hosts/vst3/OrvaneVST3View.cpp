#include "hosts/vst3/OrvaneVST3View.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace orvane::vst3 {

using namespace Steinberg;

namespace {

bool sameIID(const TUID a, const TUID b) { return std::memcmp(a, b, sizeof(TUID)) == 0; }

} // namespace

View::View(std::shared_ptr<platform::AUViewController> controller, FUnknown* owner)
    : controller_(std::move(controller)), owner_(owner) {
    if (owner_) owner_->addRef();
}

View::~View() {
    close();
    if (frame_) frame_->release();
    if (owner_) owner_->release();
}

tresult PLUGIN_API View::queryInterface(const TUID iid, void** object) {
    if (!object) return kInvalidArgument;
    void* found = nullptr;
    if (sameIID(iid, FUnknown::iid) || sameIID(iid, IPlugView::iid)) found = static_cast<IPlugView*>(this);
    else if (sameIID(iid, IPlugViewContentScaleSupport::iid)) found = static_cast<IPlugViewContentScaleSupport*>(this);
    else if (sameIID(iid, Linux::IEventHandler::iid)) found = static_cast<Linux::IEventHandler*>(this);
    else if (sameIID(iid, Linux::ITimerHandler::iid)) found = static_cast<Linux::ITimerHandler*>(this);
    *object = found;
    if (!found) return kNoInterface;
    addRef();
    return kResultOk;
}

uint32 PLUGIN_API View::addRef() { return ++references_; }

uint32 PLUGIN_API View::release() {
    const uint32 left = --references_;
    if (left == 0) delete this;
    return left;
}

tresult PLUGIN_API View::isPlatformTypeSupported(FIDString type) {
    return type && std::strcmp(type, kPlatformTypeX11EmbedWindowID) == 0 ? kResultTrue : kResultFalse;
}

double View::scale() const { return adapter::EmbeddedEditor::scaleOr(hostScale_); }

tresult PLUGIN_API View::attached(void* parent, FIDString type) {
    if (!parent || isPlatformTypeSupported(type) != kResultTrue) return kResultFalse;
    if (editor_) return kResultFalse;
    if (!frame_ || frame_->queryInterface(Linux::IRunLoop::iid, reinterpret_cast<void**>(&runLoop_)) != kResultOk)
        runLoop_ = nullptr;
    // Without the host's run loop nothing would ever draw or answer.
    if (!runLoop_) return kResultFalse;
    parent_ = reinterpret_cast<unsigned long>(parent);
    return open();
}

tresult View::open() {
    auto editor = adapter::EmbeddedEditor::open(controller_, parent_, hostScale_);
    if (!editor) return kResultFalse;
    editor_ = std::move(*editor);
    if (hostSize_.getWidth() > 0 && hostSize_.getHeight() > 0)
        editor_->setPixelSize({double(hostSize_.getWidth()), double(hostSize_.getHeight())});
    runLoop_->registerEventHandler(static_cast<Linux::IEventHandler*>(this), editor_->connectionNumber());
    runLoop_->registerTimer(static_cast<Linux::ITimerHandler*>(this), kTimerMilliseconds);
    editor_->step();
    return kResultOk;
}

void View::close() {
    if (runLoop_) {
        runLoop_->unregisterEventHandler(static_cast<Linux::IEventHandler*>(this));
        runLoop_->unregisterTimer(static_cast<Linux::ITimerHandler*>(this));
    }
    editor_.reset();
}

tresult PLUGIN_API View::removed() {
    close();
    if (runLoop_) {
        runLoop_->release();
        runLoop_ = nullptr;
    }
    parent_ = 0;
    return kResultOk;
}

tresult PLUGIN_API View::getSize(ViewRect* size) {
    if (!size) return kInvalidArgument;
    if (editor_) {
        const auto pixels = editor_->pixelSize();
        *size = ViewRect(0, 0, static_cast<int32>(pixels.width), static_cast<int32>(pixels.height));
    } else if (hostSize_.getWidth() > 0 && hostSize_.getHeight() > 0) {
        *size = hostSize_;
    } else {
        const auto pixels = adapter::EmbeddedEditor::preferredPixelSize(*controller_, scale());
        *size = ViewRect(0, 0, static_cast<int32>(pixels.width), static_cast<int32>(pixels.height));
    }
    return kResultOk;
}

tresult PLUGIN_API View::checkSizeConstraint(ViewRect* rect) {
    if (!rect) return kInvalidArgument;
    const auto smallest = adapter::EmbeddedEditor::smallestPixelSize(*controller_, scale());
    const auto minWidth = static_cast<int32>(smallest.width);
    const auto minHeight = static_cast<int32>(smallest.height);
    rect->right = rect->left + std::max(rect->getWidth(), minWidth);
    rect->bottom = rect->top + std::max(rect->getHeight(), minHeight);
    return kResultTrue;
}

tresult PLUGIN_API View::onSize(ViewRect* newSize) {
    if (!newSize) return kInvalidArgument;
    ViewRect size = *newSize;
    checkSizeConstraint(&size);
    hostSize_ = ViewRect(0, 0, size.getWidth(), size.getHeight());
    if (editor_) {
        editor_->setPixelSize({double(size.getWidth()), double(size.getHeight())});
        editor_->step();
    }
    return kResultOk;
}

tresult PLUGIN_API View::setFrame(IPlugFrame* frame) {
    if (frame) frame->addRef();
    if (frame_) frame_->release();
    frame_ = frame;
    return kResultOk;
}

tresult PLUGIN_API View::setContentScaleFactor(ScaleFactor factor) {
    if (!(factor > 0.0f)) return kResultFalse;
    const double old = scale();
    hostScale_ = factor;
    if (!editor_ || std::abs(old - hostScale_) < 1e-6) return kResultOk;
    // The window is drawn at one scale for its life: open it again at the
    // new one, as large in points as before.
    const auto pixels = editor_->pixelSize();
    hostSize_ = ViewRect(0, 0, static_cast<int32>(std::lround(pixels.width / old * hostScale_)),
                         static_cast<int32>(std::lround(pixels.height / old * hostScale_)));
    close();
    if (open() != kResultOk) return kResultFalse;
    if (frame_) {
        ViewRect wanted = hostSize_;
        frame_->resizeView(this, &wanted);
    }
    return kResultOk;
}

void PLUGIN_API View::onFDIsSet(Linux::FileDescriptor) {
    if (editor_) editor_->step();
}

void PLUGIN_API View::onTimer() {
    if (editor_) editor_->step();
}

} // namespace orvane::vst3
