#pragma once

// A private X server (Xvfb) for tests that open real windows, and the little
// they need to look at them: find a window by name, read its pixels, run
// xdotool against it.

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cairo.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace testx {

/// Other programs' windows may go at any moment, between listing them and
/// asking for their names, and Xlib's default error handler would end the
/// test process. While one of these lives, X errors are ignored; the calls
/// that met one report failure.
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

/// Starts Xvfb on a free display number (it picks one and tells us through
/// -displayfd) and stops it when the object goes.
class XServer {
public:
    XServer() {
        int fds[2];
        if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            // Goes with the test process, however that ends: left running, it
            // would hold the test's output open and keep the test runner waiting.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) ::_exit(127);
            ::close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        std::string number;
        char c;
        while (::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        ::close(fds[0]);
        if (number.empty()) throw std::runtime_error("Xvfb did not start");
        name_ = ":" + number;
        display_ = XOpenDisplay(name_.c_str());
        if (!display_) throw std::runtime_error("cannot open " + name_);
    }
    ~XServer() {
        if (display_) XCloseDisplay(display_);
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    const std::string& name() const { return name_; }
    Display* display() const { return display_; }

    /// The first top-level window whose WM_NAME is `title`, waiting up to
    /// `timeout` for it to be mapped.
    std::optional<Window> waitForWindow(const std::string& title,
                                        std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        do {
            const IgnoringXErrors vanishing(display_);
            Window root = DefaultRootWindow(display_), parent, *children = nullptr;
            unsigned count = 0;
            std::optional<Window> found;
            if (XQueryTree(display_, root, &root, &parent, &children, &count)) {
                for (unsigned i = 0; i < count && !found; ++i) {
                    char* name = nullptr;
                    XWindowAttributes attributes;
                    if (XFetchName(display_, children[i], &name) && name && title == name &&
                        XGetWindowAttributes(display_, children[i], &attributes) && attributes.map_state == IsViewable)
                        found = children[i];
                    if (name) XFree(name);
                }
                if (children) XFree(children);
            }
            if (found) return found;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } while (std::chrono::steady_clock::now() < deadline);
        return std::nullopt;
    }

    /// Every window at any depth whose WM_NAME is `title`, parents first.
    std::vector<Window> windowsNamed(const std::string& title) const {
        const IgnoringXErrors vanishing(display_);
        std::vector<Window> found, pending{DefaultRootWindow(display_)};
        while (!pending.empty()) {
            const Window window = pending.front();
            pending.erase(pending.begin());
            char* name = nullptr;
            if (XFetchName(display_, window, &name) && name && title == name) found.push_back(window);
            if (name) XFree(name);
            Window root, parent, *children = nullptr;
            unsigned count = 0;
            if (XQueryTree(display_, window, &root, &parent, &children, &count)) {
                pending.insert(pending.end(), children, children + count);
                if (children) XFree(children);
            }
        }
        return found;
    }

    /// The window's pixels as opaque 0xffRRGGBB values, row by row.
    std::vector<std::uint32_t> pixels(Window window, int& width, int& height) const {
        XWindowAttributes attributes;
        XGetWindowAttributes(display_, window, &attributes);
        width = attributes.width;
        height = attributes.height;
        XImage* image = XGetImage(display_, window, 0, 0, width, height, AllPlanes, ZPixmap);
        std::vector<std::uint32_t> out;
        if (!image) return out;
        out.reserve(std::size_t(width) * height);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) out.push_back(0xff000000u | (XGetPixel(image, x, y) & 0xffffffu));
        XDestroyImage(image);
        return out;
    }

    /// Runs xdotool with DISPLAY set to this server; true when it succeeded.
    bool xdotool(const std::string& arguments) const {
        const std::string command = "DISPLAY=" + name_ + " xdotool " + arguments + " >/dev/null 2>&1";
        return std::system(command.c_str()) == 0;
    }

private:
    pid_t pid_ = -1;
    std::string name_;
    Display* display_ = nullptr;
};

/// Asks a top-level window to close, as a window manager's close button does.
inline void requestClose(Display* d, Window window) {
    XEvent close{};
    close.xclient.type = ClientMessage;
    close.xclient.window = window;
    close.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    close.xclient.format = 32;
    close.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    close.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, window, False, NoEventMask, &close);
    XFlush(d);
}

/// A PNG file's pixels as 0xAARRGGBB values (premultiplied), row by row.
inline std::vector<std::uint32_t> pngPixels(const std::string& file, int& width, int& height) {
    cairo_surface_t* surface = cairo_image_surface_create_from_png(file.c_str());
    std::vector<std::uint32_t> out;
    width = height = 0;
    if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) {
        width = cairo_image_surface_get_width(surface);
        height = cairo_image_surface_get_height(surface);
        const int stride = cairo_image_surface_get_stride(surface);
        const unsigned char* data = cairo_image_surface_get_data(surface);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) out.push_back(reinterpret_cast<const std::uint32_t*>(data + y * stride)[x]);
    }
    cairo_surface_destroy(surface);
    return out;
}

} // namespace testx
