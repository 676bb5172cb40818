#pragma once

#include "platform/ui/View.h"

namespace orvane {

/// The editor's root view: origin top-left, y downward, so every knob frame
/// is measured from the panel's top-left corner.
class FlippedView : public platform::NSView {
public:
    using platform::NSView::NSView;
    bool isFlipped() const override { return true; }
};

} // namespace orvane
