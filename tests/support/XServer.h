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

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
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

    /// The shown windows named `title`, at any depth; when `wait`, waiting up
    /// to ten seconds for one to appear.
    std::vector<Window> windowsNamed(const std::string& title, bool wait = true) const {
        const std::string command = "DISPLAY=" + name_ + (wait ? " timeout 10 xdotool search --sync" : " xdotool search") +
                                    " --onlyvisible --name '^" + title + "$' 2>/dev/null";
        std::vector<Window> found;
        FILE* pipe = ::popen(command.c_str(), "r");
        for (unsigned long id = 0; pipe && std::fscanf(pipe, "%lu", &id) == 1;) found.push_back(id);
        if (pipe) ::pclose(pipe);
        return found;
    }
    std::optional<Window> waitForWindow(const std::string& title) const {
        const auto found = windowsNamed(title);
        return found.empty() ? std::nullopt : std::optional(found.front());
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

/// How many of the 100 x 100 pixels at (x0, y0) differ between two
/// captures of one window `width` pixels wide.
inline int changedInBox(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b, int width, int x0, int y0) {
    int changed = 0;
    for (int y = y0; y < y0 + 100; ++y)
        for (int x = x0; x < x0 + 100; ++x) changed += a[std::size_t(y) * width + x] != b[std::size_t(y) * width + x];
    return changed;
}

/// A plain top-level window for an editor to embed into, as a host's, on
/// this server (DISPLAY is set to it for the editor's own connection).
inline Window hostWindow(XServer& x, int width, int height) {
    ::setenv("DISPLAY", x.name().c_str(), 1);
    Display* d = x.display();
    const Window parent = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, width, height, 0, 0, 0);
    XMapWindow(d, parent);
    XSync(d, False);
    return parent;
}

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
