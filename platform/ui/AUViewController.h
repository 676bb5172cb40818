#pragma once

#include "platform/ui/Geometry.h"

namespace platform {

/// The base of a plug-in's editor: the object a host asks for the view it
/// embeds in its own window. A plug-in's principal object usually derives
/// from it and from AUAudioUnitFactory, so one object serves as both the
/// unit's maker and its editor.
///
/// This layer has no views yet, so no view is ever loaded. Main thread only.
class AUViewController {
public:
    virtual ~AUViewController();
    AUViewController(const AUViewController&) = delete;
    AUViewController& operator=(const AUViewController&) = delete;

    /// The size the controller asks its host to give its view; zero until set.
    NSSize preferredContentSize() const { return preferredContentSize_; }
    void setPreferredContentSize(NSSize size) { preferredContentSize_ = size; }

    /// Whether the view has been built. Always false in this layer.
    bool isViewLoaded() const { return false; }

protected:
    AUViewController() = default;

private:
    NSSize preferredContentSize_{};
};

} // namespace platform
