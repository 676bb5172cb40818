#pragma once

#include "platform/foundation/MainQueue.h"
#include "platform/ui/View.h"

#include <functional>
#include <string>

namespace orvane {

/// The one-line text field a knob opens on its plaque to take an exact value.
/// It opens with all its text selected, so typing replaces it; Left, Right,
/// Home and End move the caret, Backspace and Delete erase. Enter offers the
/// text to its owner, which may refuse it: the field then shakes and stays
/// open. Escape cancels. Keys with Ctrl or Alt held, and Tab, are not its
/// own: they go on to the knob and the panel. Main thread only.
class KnobValueField : public platform::NSView {
public:
    /// How far, in points, and how long a refusal shakes the field.
    static constexpr double shakeDistance = 4.0;
    static constexpr int shakeSteps = 8;
    static constexpr std::chrono::milliseconds shakeStepTime{30};

    KnobValueField(platform::NSRect frame, std::string text);
    ~KnobValueField() override;

    const std::string& text() const { return text_; }
    /// The caret, as a byte offset into the text.
    std::size_t caret() const { return caret_; }
    bool allSelected() const { return allSelected_; }
    /// Whether a refusal is shaking it now.
    bool isShaking() const { return shakeStep_ > 0; }

    /// Enter: true when the owner took the text.
    std::function<bool(const std::string&)> onCommit;
    std::function<void()> onCancel;
    /// It stopped being the first responder while open (focus went
    /// elsewhere).
    std::function<void()> onResign;

    bool isFlipped() const override { return true; }
    bool acceptsFirstResponder() const override { return true; }
    bool keyDown(const platform::NSKeyEvent& event) override;
    void resignFirstResponder() override;
    void drawRect(platform::NSRect dirtyRect) override;

    /// Shakes the field from side to side, ending where it began.
    void shake();

private:
    void edited();
    void shakeOnce();

    std::string text_;
    std::size_t caret_ = 0;
    bool allSelected_ = true;
    double homeX_ = 0.0;
    int shakeStep_ = 0;
    platform::MainQueue::ScheduledID shakeTask_ = 0;
};

} // namespace orvane
