#pragma once

#include "platform/ui/Geometry.h"
#include "platform/ui/View.h"

#include <memory>

namespace platform {

/// The base of a plug-in's editor: the object a host asks for the view it
/// embeds in its own window. A plug-in's principal object usually derives
/// from it and from AUAudioUnitFactory, so one object serves as both the
/// unit's maker and its editor.
///
/// The view is built on first use: loadView, then viewDidLoad. After every
/// layout pass of the view, viewDidLayout. Main thread only.
class AUViewController {
public:
    virtual ~AUViewController();
    AUViewController(const AUViewController&) = delete;
    AUViewController& operator=(const AUViewController&) = delete;

    /// The size the controller asks its host to give its view; zero until set.
    NSSize preferredContentSize() const { return preferredContentSize_; }
    void setPreferredContentSize(NSSize size) { preferredContentSize_ = size; }

    /// The controller's view, loaded on first use.
    std::shared_ptr<NSView> view();
    /// Installs the controller's view (what loadView does).
    void setView(std::shared_ptr<NSView> view);
    /// Whether the view has been built.
    bool isViewLoaded() const { return view_ != nullptr; }

    /// Builds the view and installs it with setView. The base makes a plain
    /// empty view.
    virtual void loadView();
    /// Called once the view is loaded.
    virtual void viewDidLoad() {}
    /// Called after each layout pass of the view.
    virtual void viewDidLayout() {}

protected:
    AUViewController() = default;

private:
    NSSize preferredContentSize_{};
    std::shared_ptr<NSView> view_;
    bool loading_ = false;
};

} // namespace platform
