#include "platform/ui/X11Window.h"

#include "platform/foundation/MainQueue.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <cairo-xlib.h>
#include <poll.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace platform {
namespace {

// How long run() waits for an X event before it looks at the main queue
// again: tasks from other threads arrive without waking the X connection.
constexpr int kIdleWaitMs = 10;

Error uiError(std::string message) { return Error{std::string(kUIErrorDomain), 1, std::move(message)}; }

int pixels(double points) { return std::max(1, static_cast<int>(std::lround(points))); }

} // namespace

struct X11Window::State {
    Display* display = nullptr;
    Window window = 0;
    Atom deleteWindow = 0;
    Atom netWmName = 0;
    Atom utf8String = 0;
    cairo_surface_t* surface = nullptr;
    bool topLevel = true;

    ~State() {
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

    const int width = pixels(options.size.width), height = pixels(options.size.height);
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
                            PointerMotionMask | KeyPressMask | FocusChangeMask;
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
    window->size_ = {double(width), double(height)};
    window->root_->setFrame({{0.0, 0.0}, window->size_});
    window->setTitle(options.title);
    return window;
}

X11Window::X11Window(std::shared_ptr<NSView> root, std::unique_ptr<State> state)
    : root_(std::move(root)), state_(std::move(state)), router_(root_) {}

X11Window::~X11Window() { router_.cancel(); }

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
    XResizeWindow(state_->display, state_->window, pixels(size.width), pixels(size.height));
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

void X11Window::handleEvent(void* raw) {
    XEvent& event = *static_cast<XEvent*>(raw);
    switch (event.type) {
    case Expose:
        exposed_ = true;
        if (event.xexpose.count == 0) drawnChangeCount_ = ~std::uint64_t{0};
        break;
    case ConfigureNotify: {
        const NSSize size{double(event.xconfigure.width), double(event.xconfigure.height)};
        if (size != size_) {
            size_ = size;
            cairo_xlib_surface_set_size(state_->surface, event.xconfigure.width, event.xconfigure.height);
            root_->setFrame({{0.0, 0.0}, size_});
            root_->layoutSubtreeIfNeeded();
            drawnChangeCount_ = ~std::uint64_t{0};
        }
        break;
    }
    case ButtonPress:
    case ButtonRelease: {
        const unsigned button = event.xbutton.button;
        // Buttons 4 to 7 are the scroll wheel.
        if (button < 1 || button > 3) break;
        router_.dispatch({event.type == ButtonPress ? NSEvent::Type::mouseDown : NSEvent::Type::mouseUp,
                          static_cast<int>(button),
                          {double(event.xbutton.x), double(event.xbutton.y)},
                          static_cast<std::uint64_t>(event.xbutton.time)});
        break;
    }
    case MotionNotify:
        if (event.xmotion.state & (Button1Mask | Button2Mask | Button3Mask)) {
            router_.dispatch({NSEvent::Type::mouseDragged, 1,
                              {double(event.xmotion.x), double(event.xmotion.y)},
                              static_cast<std::uint64_t>(event.xmotion.time)});
        }
        break;
    case KeyPress: {
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
        if (length > 0 && static_cast<unsigned char>(text[0]) >= 0x20) key.characters.assign(text, length);
        if (onKeyDown) onKeyDown(key);
        break;
    }
    case UnmapNotify:
    case FocusOut:
        if (event.type == UnmapNotify || event.xfocus.mode == NotifyGrab) router_.cancel();
        break;
    case ClientMessage:
        if (static_cast<Atom>(event.xclient.data.l[0]) == state_->deleteWindow && onCloseRequest) onCloseRequest();
        break;
    default:
        break;
    }
}

void X11Window::redraw() {
    const int width = pixels(size_.width), height = pixels(size_.height);
    cairo_surface_t* bitmap = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    cairo_t* context = cairo_create(bitmap);
    drawViewTree(*root_, context);
    cairo_destroy(context);
    cairo_surface_flush(bitmap);

    cairo_t* window = cairo_create(state_->surface);
    cairo_set_operator(window, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_surface(window, bitmap, 0.0, 0.0);
    cairo_paint(window);
    cairo_destroy(window);
    cairo_surface_destroy(bitmap);
    cairo_surface_flush(state_->surface);
    XFlush(state_->display);
    drawnChangeCount_ = uiChangeCount();
}

void X11Window::step() {
    Display* display = state_->display;
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        handleEvent(&event);
    }
    MainQueue::shared().runPending();
    if (exposed_ && drawnChangeCount_ != uiChangeCount()) redraw();
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
