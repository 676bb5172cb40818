#include "editor/KnobValueField.h"

#include "platform/ui/Controls.h"

#include <X11/keysym.h>

#include <algorithm>
#include <numbers>

namespace orvane {

namespace {

constexpr platform::NSColor kFieldFill{15 / 255.0, 10 / 255.0, 23 / 255.0, 1.0};
constexpr platform::NSColor kFieldEdge{246 / 255.0, 240 / 255.0, 1.0, 1.0};
constexpr platform::NSColor kSelection{0.45, 0.3, 0.75, 1.0};
constexpr double kMargin = 4.0;

bool isContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xc0) == 0x80; }

} // namespace

KnobValueField::KnobValueField(platform::NSRect frame, std::string text)
    : platform::NSView(frame), text_(std::move(text)), caret_(text_.size()), homeX_(frame.origin.x) {}

KnobValueField::~KnobValueField() { platform::MainQueue::shared().cancel(shakeTask_); }

void KnobValueField::edited() {
    setNeedsDisplay(true);
    platform::noteUIChange();
}

bool KnobValueField::keyDown(const platform::NSKeyEvent& event) {
    if (event.control || event.alt || event.keysym == XK_Tab || event.keysym == XK_ISO_Left_Tab)
        return platform::NSView::keyDown(event);
    switch (event.keysym) {
    case XK_Return:
    case XK_KP_Enter:
        if (!onCommit || !onCommit(text_)) shake();
        return true;
    case XK_Escape:
        if (onCancel) onCancel();
        return true;
    case XK_Left:
    case XK_KP_Left:
        if (allSelected_) caret_ = 0;
        else
            while (caret_ > 0 && isContinuationByte(text_[--caret_])) {
            }
        allSelected_ = false;
        edited();
        return true;
    case XK_Right:
    case XK_KP_Right:
        if (allSelected_) caret_ = text_.size();
        else if (caret_ < text_.size())
            while (++caret_ < text_.size() && isContinuationByte(text_[caret_])) {
            }
        allSelected_ = false;
        edited();
        return true;
    case XK_Home:
    case XK_KP_Home:
        caret_ = 0, allSelected_ = false;
        edited();
        return true;
    case XK_End:
    case XK_KP_End:
        caret_ = text_.size(), allSelected_ = false;
        edited();
        return true;
    case XK_BackSpace:
    case XK_Delete:
    case XK_KP_Delete:
        if (allSelected_) {
            text_.clear(), caret_ = 0;
        } else if (event.keysym == XK_BackSpace && caret_ > 0) {
            std::size_t from = caret_;
            while (from > 0 && isContinuationByte(text_[--from])) {
            }
            text_.erase(from, caret_ - from);
            caret_ = from;
        } else if (event.keysym != XK_BackSpace && caret_ < text_.size()) {
            std::size_t to = caret_ + 1;
            while (to < text_.size() && isContinuationByte(text_[to])) ++to;
            text_.erase(caret_, to - caret_);
        }
        allSelected_ = false;
        edited();
        return true;
    default:
        break;
    }
    if (!event.characters.empty()) {
        if (allSelected_) text_.clear(), caret_ = 0;
        text_.insert(caret_, event.characters);
        caret_ += event.characters.size();
        allSelected_ = false;
        edited();
    }
    // Every other key stops here: the knob under the field must not turn
    // while its value is being typed.
    return true;
}

void KnobValueField::resignFirstResponder() {
    if (onResign) onResign();
}

void KnobValueField::drawRect(platform::NSRect) {
    auto* graphics = platform::NSGraphicsContext::currentContext();
    if (!graphics) return;
    cairo_t* context = graphics->CGContext();
    const platform::NSRect box = bounds();
    const double r = std::min(box.size.height * 0.5, 6.0);
    constexpr double pi = std::numbers::pi;
    const double inset = 0.75;
    const double x0 = inset, y0 = inset, x1 = box.size.width - inset, y1 = box.size.height - inset;
    cairo_new_path(context);
    cairo_arc(context, x0 + r, y0 + r, r, pi, 1.5 * pi);
    cairo_arc(context, x1 - r, y0 + r, r, 1.5 * pi, 2.0 * pi);
    cairo_arc(context, x1 - r, y1 - r, r, 0.0, 0.5 * pi);
    cairo_arc(context, x0 + r, y1 - r, r, 0.5 * pi, pi);
    cairo_close_path(context);
    cairo_set_source_rgba(context, kFieldFill.red, kFieldFill.green, kFieldFill.blue, 1.0);
    cairo_fill_preserve(context);
    cairo_set_source_rgba(context, kFieldEdge.red, kFieldEdge.green, kFieldEdge.blue, 1.0);
    cairo_set_line_width(context, 1.5);
    cairo_stroke(context);

    const platform::NSFont font{"DejaVu Sans", std::clamp(box.size.height * 0.78, 8.0, 18.0), true};
    const double height = platform::NSStringSize("0", font).height;
    const double y = (box.size.height - height) * 0.5;
    // Long texts scroll so the caret stays in view.
    const double room = box.size.width - 2.0 * kMargin;
    const double caretX = platform::NSStringSize(std::string_view(text_).substr(0, caret_), font).width;
    const double scroll = std::max(0.0, caretX - room + 1.0);
    cairo_save(context);
    cairo_rectangle(context, kMargin, 0.0, room, box.size.height);
    cairo_clip(context);
    if (allSelected_ && !text_.empty()) {
        const double w = platform::NSStringSize(text_, font).width;
        cairo_set_source_rgba(context, kSelection.red, kSelection.green, kSelection.blue, 1.0);
        cairo_rectangle(context, kMargin - scroll, y, std::min(w, room), height);
        cairo_fill(context);
    }
    platform::NSStringDrawAtPoint(text_, {kMargin - scroll, y}, font, kFieldEdge);
    if (!allSelected_) {
        cairo_set_source_rgba(context, kFieldEdge.red, kFieldEdge.green, kFieldEdge.blue, 1.0);
        cairo_rectangle(context, kMargin - scroll + caretX, y, 1.0, height);
        cairo_fill(context);
    }
    cairo_restore(context);
}

void KnobValueField::shake() {
    if (shakeStep_ == 0) homeX_ = frame().origin.x;
    shakeStep_ = shakeSteps;
    platform::MainQueue::shared().cancel(shakeTask_);
    shakeOnce();
}

void KnobValueField::shakeOnce() {
    // Side to side, each swing smaller than the last, home at the end.
    --shakeStep_;
    const double swing = shakeDistance * shakeStep_ / shakeSteps * (shakeStep_ % 2 ? 1.0 : -1.0);
    setFrameOrigin({homeX_ + swing, frame().origin.y});
    if (superview()) superview()->setNeedsDisplay(true);
    if (shakeStep_ == 0) {
        shakeTask_ = 0;
        return;
    }
    shakeTask_ = platform::MainQueue::shared().enqueueAfter(shakeStepTime, [this] { shakeOnce(); });
}

} // namespace orvane
