#include "platform/ui/AUViewController.h"

namespace platform {

AUViewController::~AUViewController() {
    // A host may keep the view after the controller is gone.
    if (view_) view_->setDidLayoutHandler({});
}

std::shared_ptr<NSView> AUViewController::view() {
    if (!view_ && !loading_) {
        loading_ = true;
        loadView();
        if (!view_) setView(std::make_shared<NSView>());
        viewDidLoad();
        loading_ = false;
    }
    return view_;
}

void AUViewController::setView(std::shared_ptr<NSView> view) {
    if (view_) view_->setDidLayoutHandler({});
    view_ = std::move(view);
    if (view_) view_->setDidLayoutHandler([this] { viewDidLayout(); });
}

void AUViewController::loadView() { setView(std::make_shared<NSView>()); }

} // namespace platform
