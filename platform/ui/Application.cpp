#include "platform/ui/Application.h"

#include "platform/foundation/MainQueue.h"

#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace platform {
namespace {

// How long the loop waits for any window's events before it looks at the
// main queue again.
constexpr int kIdleWaitMs = 10;

} // namespace

std::shared_ptr<NSMenuItem> NSMenu::addItemWithTitle(std::string title, std::function<void()> action,
                                                     std::string keyEquivalent) {
    auto item = std::make_shared<NSMenuItem>();
    item->title = std::move(title);
    item->action = std::move(action);
    item->keyEquivalent = std::move(keyEquivalent);
    items_.push_back(item);
    return item;
}

std::shared_ptr<NSMenuItem> NSMenu::itemForKeyEquivalent(const std::string& key) const {
    for (const auto& item : items_) {
        if (!key.empty() && item->keyEquivalent == key) return item;
        if (item->submenu) {
            if (auto found = item->submenu->itemForKeyEquivalent(key)) return found;
        }
    }
    return nullptr;
}

NSWindow::NSWindow(NSRect contentRect, unsigned styleMask, int, bool)
    : contentRect_(contentRect), styleMask_(styleMask), contentView_(std::make_shared<NSView>(NSRect{{}, contentRect.size})) {}

NSWindow::~NSWindow() = default;

void NSWindow::setTitle(std::string title) {
    title_ = std::move(title);
    if (backend_) backend_->setTitle(title_);
}

void NSWindow::setContentView(std::shared_ptr<NSView> view) {
    if (!view) return;
    contentView_ = std::move(view);
    contentView_->setFrame({{}, contentRect_.size});
}

void NSWindow::makeKeyAndOrderFront() {
    visible_ = true;
    NSApplication::shared().orderFront(shared_from_this());
}

std::expected<void, Error> NSWindow::open(const std::string& displayName) {
    X11Window::Options options;
    options.title = title_;
    options.size = contentRect_.size;
    options.resizable = (styleMask_ & NSWindowStyleMaskResizable) != 0;
    options.centerOnScreen = centred_;
    options.displayName = displayName;
    auto window = X11Window::open(contentView_, options);
    if (!window) return std::unexpected(window.error());
    backend_ = std::move(*window);
    if (styleMask_ & NSWindowStyleMaskClosable) {
        backend_->onCloseRequest = [weakSelf = weak_from_this()] {
            if (auto self = weakSelf.lock()) self->close();
        };
    }
    backend_->onKeyDown = [](const NSKeyEvent& key) { NSApplication::shared().performKeyEquivalent(key); };
    backend_->show();
    return {};
}

void NSWindow::close() {
    visible_ = false;
    NSApplication::shared().windowClosed(this);
}

NSApplication& NSApplication::shared() {
    static NSApplication application;
    return application;
}

void NSApplication::orderFront(const std::shared_ptr<NSWindow>& window) {
    if (std::find(windows_.begin(), windows_.end(), window) == windows_.end()) windows_.push_back(window);
    if (launched_ && !window->backend_ && !error_) {
        if (auto opened = window->open(displayName_); !opened) {
            error_ = opened.error();
            terminate();
        }
    }
}

void NSApplication::windowClosed(NSWindow* window) {
    const auto found = std::find_if(windows_.begin(), windows_.end(), [&](const auto& w) { return w.get() == window; });
    if (found == windows_.end()) return;
    // The window may be closing from inside its own event handling: its X11
    // side goes once the loop is back out of it.
    if (window->backend_) closing_.push_back(std::move(window->backend_));
    const auto keep = *found;
    windows_.erase(found);
    if (windows_.empty() && delegate_ && delegate_->applicationShouldTerminateAfterLastWindowClosed()) terminate();
}

void NSApplication::terminate() { running_ = false; }

bool NSApplication::performKeyEquivalent(const NSKeyEvent& key) {
    if (!key.control || !mainMenu_ || key.keysym < 0x20 || key.keysym > 0x7e) return false;
    auto item = mainMenu_->itemForKeyEquivalent(std::string(1, static_cast<char>(key.keysym)));
    if (!item || !item->action) return false;
    item->action();
    return true;
}

std::expected<void, Error> NSApplication::run(const std::string& displayName) {
    displayName_ = displayName;
    running_ = true;
    launched_ = true;
    error_.reset();
    if (delegate_) delegate_->applicationDidFinishLaunching();
    for (const auto& window : std::vector(windows_)) {
        if (error_ || !window->visible_ || window->backend_) continue;
        if (auto opened = window->open(displayName_); !opened) error_ = opened.error();
    }
    if (error_) running_ = false;
    while (running_) {
        std::vector<pollfd> descriptors;
        for (const auto& window : std::vector(windows_)) {
            if (!window->backend_) continue;
            window->backend_->step();
            if (window->backend_) descriptors.push_back({window->backend_->connectionNumber(), POLLIN, 0});
        }
        closing_.clear();
        if (!running_) break;
        if (descriptors.empty()) {
            MainQueue::shared().runPending();
            ::poll(nullptr, 0, kIdleWaitMs);
        } else {
            ::poll(descriptors.data(), descriptors.size(), kIdleWaitMs);
        }
    }
    closing_.clear();
    windows_.clear();
    launched_ = false;
    if (error_) return std::unexpected(*error_);
    return {};
}

int NSApplicationMain(int argc, char** argv) {
    const std::string program = argc > 0 ? std::filesystem::path(argv[0]).filename().string() : "application";
    auto ran = NSApplication::shared().run();
    if (!ran) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), ran.error().message.c_str());
        return 1;
    }
    return 0;
}

} // namespace platform
