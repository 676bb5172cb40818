#include "platform/ui/X11Window.h"

#include "platform/foundation/MainQueue.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xresource.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <cairo-xlib.h>
#include <poll.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace platform {
namespace {

// How long run() waits for an X event before it looks at the main queue
// again: tasks from other threads arrive without waking the X connection.
constexpr int kIdleWaitMs = 10;

Error uiError(std::string message) { return Error{std::string(kUIErrorDomain), 1, std::move(message)}; }

int pixels(double points) { return std::max(1, static_cast<int>(std::lround(points))); }

// A scale beyond any screen made: a typing error, not a setting.
constexpr double kLargestScale = 16.0;
// The resolution a scale of 1 stands for, in dots per inch.
constexpr double kStandardDPI = 96.0;

/// What the desktop asks for: GDK_SCALE, else Xft.dpi / 96 (a fractional
/// scale such as 1.5 stays fractional), else 1.
double displayScale(Display* display) {
    if (auto scale = scaleFactorFromEnvironment()) return *scale;
    double scale = 1.0;
    if (const char* resources = XResourceManagerString(display)) {
        XrmInitialize();
        if (XrmDatabase database = XrmGetStringDatabase(resources)) {
            char* type = nullptr;
            XrmValue value{};
            if (XrmGetResource(database, "Xft.dpi", "Xft.Dpi", &type, &value) && value.addr) {
                const double dpi = std::strtod(value.addr, nullptr);
                if (dpi > 0.0 && dpi / kStandardDPI <= kLargestScale) scale = dpi / kStandardDPI;
            }
            XrmDestroyDatabase(database);
        }
    }
    return scale;
}

/// While one lives, X errors are dropped: a host's window may go at any
/// moment, and Xlib's default handler would end the host's process.
class IgnoringXErrors {
public:
    explicit IgnoringXErrors(Display* display)
        : display_(display), previous_(XSetErrorHandler([](Display*, XErrorEvent*) { return 0; })) {}
    ~IgnoringXErrors() {
        XSync(display_, False);
        XSetErrorHandler(previous_);
    }
    IgnoringXErrors(const IgnoringXErrors&) = delete;
    IgnoringXErrors& operator=(const IgnoringXErrors&) = delete;

private:
    Display* display_;
    int (*previous_)(Display*, XErrorEvent*);
};

unsigned modifiersOf(unsigned state) {
    return (state & ShiftMask ? NSEventModifierFlagShift : 0u) | (state & ControlMask ? NSEventModifierFlagControl : 0u) |
           (state & Mod1Mask ? NSEventModifierFlagOption : 0u);
}

} // namespace

std::optional<double> scaleFactorFromEnvironment() {
    const char* text = std::getenv("GDK_SCALE");
    if (!text || !*text) return std::nullopt;
    int scale = 0;
    const char* end = text + std::strlen(text);
    const auto [ptr, ec] = std::from_chars(text, end, scale);
    if (ec != std::errc{} || ptr != end || scale < 1 || scale > kLargestScale) return std::nullopt;
    return double(scale);
}

struct X11Window::State {
    Display* display = nullptr;
    Window window = 0;
    Atom deleteWindow = 0;
    Atom netWmName = 0;
    Atom utf8String = 0;
    cairo_surface_t* surface = nullptr;
    /// What the window shows, drawn off-screen at the window's pixel size.
    cairo_surface_t* backBuffer = nullptr;
    bool topLevel = true;
    /// Embedded: the host's window, and the window that had the keyboard
    /// focus before a click took it (None while the host has it).
    Window parent = 0;
    Window focusBefore = None;
    /// Key codes whose press went on to the host: their release follows.
    std::vector<unsigned> forwardedKeys;

    ~State() {
        if (backBuffer) cairo_surface_destroy(backBuffer);
        if (surface) cairo_surface_destroy(surface);
        if (display) {
            if (window) XDestroyWindow(display, window);
            XCloseDisplay(display);
        }
    }
};

std::expected<std::unique_ptr<X11Window>, Error> X11Window::open(std::shared_ptr<NSView> root, const Options& options) {
    if (!root) return std::unexpected(uiError("no view to show"));
    auto state = std::make_unique<State>();
    const char* name = options.displayName.empty() ? nullptr : options.displayName.c_str();
    state->display = XOpenDisplay(name);
    if (!state->display) {
        const char* shown = name ? name : std::getenv("DISPLAY");
        return std::unexpected(uiError(std::string("cannot open the X display ") +
                                       (shown && *shown ? std::string("\"") + shown + "\"" : "(DISPLAY is not set)")));
    }
    Display* display = state->display;
    const int screen = DefaultScreen(display);
    state->topLevel = options.parent == 0;
    const Window parent = state->topLevel ? RootWindow(display, screen) : options.parent;
    state->parent = state->topLevel ? 0 : parent;
    if (!state->topLevel) {
        XWindowAttributes attributes;
        // A bad parent XID would otherwise end the process through Xlib's
        // default error handler.
        auto* previous = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        const Status found = XGetWindowAttributes(display, parent, &attributes);
        XSync(display, False);
        XSetErrorHandler(previous);
        if (!found) return std::unexpected(uiError("no X window " + std::to_string(options.parent) + " to embed into"));
    }

    const double scale = options.scale > 0.0 ? options.scale : displayScale(display);
    const int width = pixels(options.size.width * scale), height = pixels(options.size.height * scale);
    int x = 0, y = 0;
    if (state->topLevel && options.centerOnScreen) {
        x = std::max(0, (DisplayWidth(display, screen) - width) / 2);
        y = std::max(0, (DisplayHeight(display, screen) - height) / 2);
    }
    XSetWindowAttributes attributes{};
    // No background: the whole window is painted at once from a bitmap, so
    // the server must not clear it first (that would flicker).
    attributes.background_pixmap = None;
    attributes.bit_gravity = NorthWestGravity;
    attributes.event_mask = ExposureMask | StructureNotifyMask | ButtonPressMask | ButtonReleaseMask |
                            PointerMotionMask | EnterWindowMask | LeaveWindowMask | KeyPressMask | KeyReleaseMask |
                            FocusChangeMask;
    state->window = XCreateWindow(display, parent, x, y, width, height, 0, CopyFromParent, InputOutput,
                                  CopyFromParent, CWBackPixmap | CWBitGravity | CWEventMask, &attributes);
    if (!state->window) return std::unexpected(uiError("cannot create an X window"));

    state->deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    state->netWmName = XInternAtom(display, "_NET_WM_NAME", False);
    state->utf8String = XInternAtom(display, "UTF8_STRING", False);
    if (state->topLevel) {
        XSetWMProtocols(display, state->window, &state->deleteWindow, 1);
        XSizeHints* hints = XAllocSizeHints();
        hints->flags = PSize | (options.centerOnScreen ? PPosition : 0);
        hints->x = x;
        hints->y = y;
        hints->width = width;
        hints->height = height;
        if (!options.resizable) {
            hints->flags |= PMinSize | PMaxSize;
            hints->min_width = hints->max_width = width;
            hints->min_height = hints->max_height = height;
        }
        XSetWMNormalHints(display, state->window, hints);
        XFree(hints);
        XClassHint* classHint = XAllocClassHint();
        std::string className = options.title;
        classHint->res_name = className.data();
        classHint->res_class = className.data();
        XSetClassHint(display, state->window, classHint);
        XFree(classHint);
    }
    state->surface =
        cairo_xlib_surface_create(display, state->window, DefaultVisual(display, screen), width, height);

    std::unique_ptr<X11Window> window(new X11Window(std::move(root), std::move(state)));
    window->scale_ = scale;
    window->size_ = {width / scale, height / scale};
    window->root_->setBackingScaleFactor(scale);
    window->root_->setFrame({{0.0, 0.0}, window->size_});
    window->setTitle(options.title);
    return window;
}

X11Window::X11Window(std::shared_ptr<NSView> root, std::unique_ptr<State> state)
    : root_(std::move(root)), state_(std::move(state)), router_(root_) {}

X11Window::~X11Window() {
    // A gesture in progress ends, and the pointer leaves with the window.
    router_.cancel();
    router_.dispatch({NSEvent::Type::mouseExited});
}

NSSize X11Window::pixelSize() const { return {double(pixels(size_.width * scale_)), double(pixels(size_.height * scale_))}; }

unsigned long X11Window::windowID() const { return state_->window; }
int X11Window::connectionNumber() const { return ConnectionNumber(state_->display); }

void X11Window::setTitle(std::string_view title) {
    const std::string text(title);
    XStoreName(state_->display, state_->window, text.c_str());
    XChangeProperty(state_->display, state_->window, state_->netWmName, state_->utf8String, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    XFlush(state_->display);
}

void X11Window::setSize(NSSize size) {
    XResizeWindow(state_->display, state_->window, pixels(size.width * scale_), pixels(size.height * scale_));
    XFlush(state_->display);
}

void X11Window::show() {
    if (state_->topLevel) {
        XMapRaised(state_->display, state_->window);
    } else {
        XMapWindow(state_->display, state_->window);
    }
    XFlush(state_->display);
}

NSEvent X11Window::pointerEvent(NSEvent::Type type, int button, int x, int y, unsigned long time, unsigned state) const {
    NSEvent event{type, button, {x / scale_, y / scale_}, static_cast<std::uint64_t>(time)};
    event.modifierFlags = modifiersOf(state);
    return event;
}

void X11Window::handleEvent(void* raw) {
    XEvent& event = *static_cast<XEvent*>(raw);
    // The pointer meets the tree as laid out for the window's size.
    if (event.type == ButtonPress || event.type == ButtonRelease || event.type == MotionNotify ||
        event.type == EnterNotify || event.type == LeaveNotify)
        root_->layoutSubtreeIfNeeded();
    switch (event.type) {
    case Expose:
        exposed_ = true;
        needsPresent_ = true;
        break;
    case ConfigureNotify: {
        const NSSize size{event.xconfigure.width / scale_, event.xconfigure.height / scale_};
        if (size != size_) {
            size_ = size;
            cairo_xlib_surface_set_size(state_->surface, event.xconfigure.width, event.xconfigure.height);
            // Laid out once the events waiting are handled: a window being
            // resized reports many sizes at once, and only the last counts.
            root_->setFrame({{0.0, 0.0}, size_});
            drawnChangeCount_ = ~std::uint64_t{0};
        }
        break;
    }
    case ButtonPress:
    case ButtonRelease: {
        const XButtonEvent& b = event.xbutton;
        if (event.type == ButtonPress) takeKeyboardFocus(b.time);
        if (b.button >= 1 && b.button <= 3) {
            router_.dispatch(pointerEvent(event.type == ButtonPress ? NSEvent::Type::mouseDown : NSEvent::Type::mouseUp,
                                          static_cast<int>(b.button), b.x, b.y, b.time, b.state));
        } else if (b.button >= 4 && b.button <= 7 && event.type == ButtonPress) {
            // Buttons 4 to 7 are the wheel's notches: up, down, left, right.
            NSEvent wheel = pointerEvent(NSEvent::Type::scrollWheel, 0, b.x, b.y, b.time, b.state);
            wheel.scrollingDeltaY = b.button == 4 ? 1.0 : b.button == 5 ? -1.0 : 0.0;
            wheel.scrollingDeltaX = b.button == 6 ? -1.0 : b.button == 7 ? 1.0 : 0.0;
            router_.dispatch(wheel);
        }
        break;
    }
    case MotionNotify: {
        const XMotionEvent& m = event.xmotion;
        const bool held = m.state & (Button1Mask | Button2Mask | Button3Mask);
        router_.dispatch(pointerEvent(held ? NSEvent::Type::mouseDragged : NSEvent::Type::mouseMoved, 1, m.x, m.y,
                                      m.time, m.state));
        break;
    }
    case EnterNotify:
    case LeaveNotify: {
        const XCrossingEvent& c = event.xcrossing;
        router_.dispatch(pointerEvent(event.type == EnterNotify ? NSEvent::Type::mouseMoved : NSEvent::Type::mouseExited,
                                      1, c.x, c.y, c.time, c.state));
        break;
    }
    case KeyPress:
    case KeyRelease:
        handleKey(&event);
        break;
    case UnmapNotify:
        router_.cancel();
        router_.dispatch({NSEvent::Type::mouseExited});
        break;
    case FocusOut:
        if (event.xfocus.mode == NotifyGrab) router_.cancel();
        break;
    case ClientMessage:
        if (static_cast<Atom>(event.xclient.data.l[0]) == state_->deleteWindow && onCloseRequest) onCloseRequest();
        break;
    default:
        break;
    }
}

void X11Window::handleKey(void* raw) {
    XEvent& event = *static_cast<XEvent*>(raw);
    char text[32] = {};
    KeySym keysym = NoSymbol;
    const int length = XLookupString(&event.xkey, text, sizeof text - 1, &keysym, nullptr);
    NSKeyEvent key;
    KeySym lower = keysym, upper = keysym;
    XConvertCase(keysym, &lower, &upper);
    key.keysym = static_cast<std::uint32_t>(lower);
    key.control = event.xkey.state & ControlMask;
    key.shift = event.xkey.state & ShiftMask;
    key.alt = event.xkey.state & Mod1Mask;
    if (length > 0 && static_cast<unsigned char>(text[0]) >= 0x20 && static_cast<unsigned char>(text[0]) != 0x7f)
        key.characters.assign(text, length);
    root_->layoutSubtreeIfNeeded();
    if (event.type == KeyRelease) {
        router_.dispatchKeyUp(key);
        // The host hears the releases of the keys it was given.
        auto& forwarded = state_->forwardedKeys;
        const auto found = std::find(forwarded.begin(), forwarded.end(), event.xkey.keycode);
        if (found != forwarded.end()) {
            forwarded.erase(found);
            forwardKeyToHost(&event);
        }
        return;
    }
    const bool used = router_.dispatchKey(key);
    if (!state_->topLevel && key.keysym == XK_Escape) {
        // Escape the tree has no use for ends its focus; when nothing in it
        // has the focus any more, the host has the keyboard again.
        if (!used) root_->makeFirstResponder(nullptr);
        if (!root_->firstResponder()) giveKeyboardFocusBack(event.xkey.time);
        return;
    }
    if (used) return;
    // A key the host sent us it has had already.
    if (!state_->topLevel && !event.xkey.send_event) {
        forwardKeyToHost(&event);
        auto& forwarded = state_->forwardedKeys;
        if (std::find(forwarded.begin(), forwarded.end(), event.xkey.keycode) == forwarded.end())
            forwarded.push_back(event.xkey.keycode);
    }
    if (onKeyDown) onKeyDown(key);
}

void X11Window::takeKeyboardFocus(unsigned long time) {
    if (state_->topLevel) return;
    Window focus = None;
    int revert = 0;
    XGetInputFocus(state_->display, &focus, &revert);
    if (focus == state_->window) return;
    // PointerRoot and None hand nothing back: the host's window then.
    state_->focusBefore = focus == None || focus == PointerRoot ? state_->parent : focus;
    // Unmapped by the host since the click: no focus, and no harm.
    const IgnoringXErrors unviewable(state_->display);
    XSetInputFocus(state_->display, state_->window, RevertToParent, time);
}

void X11Window::giveKeyboardFocusBack(unsigned long time) {
    if (state_->topLevel || state_->focusBefore == None) return;
    {
        // The window may have gone meanwhile; that is no reason to stop.
        const IgnoringXErrors gone(state_->display);
        XSetInputFocus(state_->display, state_->focusBefore, RevertToParent, time);
    }
    state_->focusBefore = None;
}

void X11Window::forwardKeyToHost(void* raw) {
    if (state_->topLevel) return;
    XEvent event = *static_cast<XEvent*>(raw);
    const Window target = state_->focusBefore != None ? state_->focusBefore : state_->parent;
    event.xkey.window = target;
    event.xkey.subwindow = None;
    const IgnoringXErrors gone(state_->display);
    XSendEvent(state_->display, target, True, event.type == KeyPress ? KeyPressMask : KeyReleaseMask, &event);
}

void X11Window::redraw(const NSRect* rect) {
    const NSSize pixelSize = this->pixelSize();
    const int width = int(pixelSize.width), height = int(pixelSize.height);
    cairo_surface_t*& buffer = state_->backBuffer;
    if (!buffer || cairo_image_surface_get_width(buffer) != width || cairo_image_surface_get_height(buffer) != height) {
        if (buffer) cairo_surface_destroy(buffer);
        buffer = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
        rect = nullptr;
    }
    cairo_t* context = cairo_create(buffer);
    cairo_scale(context, scale_, scale_);
    if (rect) {
        drawViewTree(*root_, context, *rect);
    } else {
        // Whatever the tree leaves unpainted shows black, not an older picture.
        cairo_save(context);
        cairo_set_operator(context, CAIRO_OPERATOR_CLEAR);
        cairo_paint(context);
        cairo_restore(context);
        drawViewTree(*root_, context);
    }
    cairo_destroy(context);
    cairo_surface_flush(buffer);
    drawnChangeCount_ = uiChangeCount();
    if (rect && !needsPresent_) {
        // Whole pixels that cover the rectangle.
        const double x0 = std::floor(rect->minX() * scale_), y0 = std::floor(rect->minY() * scale_);
        const NSRect covered{{x0, y0}, {std::ceil(rect->maxX() * scale_) - x0, std::ceil(rect->maxY() * scale_) - y0}};
        present(&covered);
    } else {
        present(nullptr);
    }
}

void X11Window::present(const NSRect* pixels) {
    if (!state_->backBuffer) return;
    cairo_t* window = cairo_create(state_->surface);
    cairo_set_operator(window, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_surface(window, state_->backBuffer, 0.0, 0.0);
    if (pixels) {
        cairo_rectangle(window, pixels->origin.x, pixels->origin.y, pixels->size.width, pixels->size.height);
        cairo_fill(window);
    } else {
        cairo_paint(window);
    }
    cairo_destroy(window);
    cairo_surface_flush(state_->surface);
    XFlush(state_->display);
    needsPresent_ = false;
}

void X11Window::step() {
    Display* display = state_->display;
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        handleEvent(&event);
    }
    MainQueue::shared().runPending();
    // Layout first: it may change the tree, and then everything is drawn.
    root_->layoutSubtreeIfNeeded();
    if (!exposed_) return;
    if (drawnChangeCount_ != uiChangeCount()) {
        redraw(nullptr);
    } else if (const auto marked = root_->needsDisplayRect()) {
        const NSRect rect = *marked;
        redraw(&rect);
    } else if (needsPresent_) {
        present(nullptr);
    }
}

void X11Window::run() {
    running_ = true;
    while (running_) {
        step();
        if (!running_) break;
        pollfd descriptor{connectionNumber(), POLLIN, 0};
        ::poll(&descriptor, 1, kIdleWaitMs);
    }
}

} // namespace platform
