#pragma once

#include "platform/foundation/Error.h"
#include "platform/ui/Compositor.h"
#include "platform/ui/View.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

/// The scale GDK_SCALE asks for, when it holds a whole number of at least 1.
std::optional<double> scaleFactorFromEnvironment();

/// The X11 backend: shows a view tree in a window of its own, either a
/// top-level window or a child of a foreign window (the window a plug-in host
/// hands its editor). The tree is drawn into an off-screen bitmap and shown
/// from it, so nothing flickers: a resize or a change of the tree's layout
/// draws it all, a change that marked a view for display draws only that
/// view's rectangle, an expose only shows the bitmap again. A resize sets the
/// root view's frame and lays it out; pointer events go to the tree (gesture
/// recognizers, the view under the pointer); keys go to the tree's first
/// responder, and the ones the tree does not use, like close requests, to
/// the owner. Between events the process's main queue is drained.
///
/// An embedded window takes the keyboard focus when clicked and gives it
/// back to the window that had it on Escape, once nothing in the tree keeps
/// the focus (Escape the tree does not use clears its first responder);
/// while it has the focus, the keys the tree does not use are sent on to the
/// host's window, so the host's own shortcuts still work.
///
/// The tree is measured in points and the window in pixels, `scale` pixels
/// a point: the display's scale unless the owner names one. Text, lines and
/// pictures are drawn at that scale. Main thread only.
class X11Window {
public:
    struct Options {
        std::string title = "Untitled";
        NSSize size{400.0, 300.0};
        /// False: the minimum and maximum size hints both equal `size`.
        bool resizable = true;
        /// A top-level window placed in the middle of the screen.
        bool centerOnScreen = false;
        /// A foreign window to embed into (its XID); 0 for a top-level window.
        unsigned long parent = 0;
        /// The X display to open; empty for $DISPLAY.
        std::string displayName;
        /// Pixels per point; 0 for the display's own scale:
        /// scaleFactorFromEnvironment(), else the server's Xft.dpi resource
        /// divided by 96, else 1.
        double scale = 0.0;
    };

    /// Opens the display and creates the window, sized and titled, with the
    /// root view filling it. Not shown until show().
    static std::expected<std::unique_ptr<X11Window>, Error> open(std::shared_ptr<NSView> root, const Options& options);
    ~X11Window();
    X11Window(const X11Window&) = delete;
    X11Window& operator=(const X11Window&) = delete;

    /// The window's XID.
    unsigned long windowID() const;
    /// The display connection's file descriptor, for a host's own poll loop.
    int connectionNumber() const;
    /// The window's size in points.
    NSSize size() const { return size_; }
    /// Its size in pixels.
    NSSize pixelSize() const;
    double backingScaleFactor() const { return scale_; }

    void setTitle(std::string_view title);
    /// Asks for a new size in points (the window manager or the host may
    /// refuse).
    void setSize(NSSize size);
    /// Maps the window (and raises a top-level one).
    void show();

    /// Handles every event already waiting, drains the main queue and redraws
    /// when anything changed. Never waits; a host's idle callback calls it.
    void step();
    /// Steps until stop() is called, waiting for events in between.
    void run();
    void stop() { running_ = false; }

    /// Called for each key press the view tree does not use.
    std::function<void(const NSKeyEvent&)> onKeyDown;
    /// Called when the window manager asks the window to close; the window
    /// stays open unless the owner stops or destroys it.
    std::function<void()> onCloseRequest;

private:
    struct State;
    X11Window(std::shared_ptr<NSView> root, std::unique_ptr<State> state);
    void handleEvent(void* event);
    /// Draws the tree into the bitmap, all of it or a rectangle in points,
    /// and shows what it drew.
    void redraw(const NSRect* rect);
    /// Shows a rectangle of the bitmap (pixels), all of it when null.
    void present(const NSRect* pixels);
    NSEvent pointerEvent(NSEvent::Type type, int button, int x, int y, unsigned long time, unsigned state) const;
    void handleKey(void* event);
    // Keyboard focus of an embedded window.
    void takeKeyboardFocus(unsigned long time);
    void giveKeyboardFocusBack(unsigned long time);
    void forwardKeyToHost(void* event);

    std::shared_ptr<NSView> root_;
    std::unique_ptr<State> state_;
    NSEventRouter router_;
    NSSize size_{};
    double scale_ = 1.0;
    bool running_ = false;
    bool exposed_ = false;
    bool needsPresent_ = false;
    std::uint64_t drawnChangeCount_ = ~std::uint64_t{0};
};

} // namespace platform
