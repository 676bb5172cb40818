#pragma once

#include "platform/foundation/Error.h"
#include "platform/ui/View.h"
#include "platform/ui/X11Window.h"

#include <optional>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class NSMenu;

/// A menu entry: a title, what it does, the key that does it with Ctrl (the
/// platform's Command key) and, for an entry that opens one, a submenu.
class NSMenuItem {
public:
    std::string title;
    std::function<void()> action;
    std::string keyEquivalent;
    std::shared_ptr<NSMenu> submenu;

    void setSubmenu(std::shared_ptr<NSMenu> menu) { submenu = std::move(menu); }
};

/// An ordered list of menu entries. The main menu's entries are reached
/// through their key equivalents; nothing draws a menu bar.
class NSMenu {
public:
    explicit NSMenu(std::string title = {}) : title_(std::move(title)) {}

    void addItem(std::shared_ptr<NSMenuItem> item) { items_.push_back(std::move(item)); }
    std::shared_ptr<NSMenuItem> addItemWithTitle(std::string title, std::function<void()> action,
                                                 std::string keyEquivalent);
    const std::vector<std::shared_ptr<NSMenuItem>>& items() const { return items_; }
    const std::string& title() const { return title_; }

    /// The entry, here or in a submenu, whose key equivalent is `key`.
    std::shared_ptr<NSMenuItem> itemForKeyEquivalent(const std::string& key) const;

private:
    std::string title_;
    std::vector<std::shared_ptr<NSMenuItem>> items_;
};

/// Window style bits.
enum NSWindowStyleMask : unsigned {
    NSWindowStyleMaskTitled = 1,
    NSWindowStyleMaskClosable = 2,
    NSWindowStyleMaskMiniaturizable = 4,
    NSWindowStyleMaskResizable = 8,
};
inline constexpr int NSBackingStoreBuffered = 2;

/// A top-level window with a content view. Nothing shows until
/// makeKeyAndOrderFront; a window without the resizable style keeps its
/// content size (equal minimum and maximum size hints). Main thread only.
class NSWindow : public std::enable_shared_from_this<NSWindow> {
public:
    NSWindow(NSRect contentRect, unsigned styleMask, int backing, bool defer);
    ~NSWindow();
    NSWindow(const NSWindow&) = delete;
    NSWindow& operator=(const NSWindow&) = delete;

    const std::string& title() const { return title_; }
    void setTitle(std::string title);
    unsigned styleMask() const { return styleMask_; }
    NSRect contentRect() const { return contentRect_; }
    /// The window opens in the middle of the screen.
    void center() { centred_ = true; }
    bool isCentred() const { return centred_; }
    const std::shared_ptr<NSView>& contentView() const { return contentView_; }
    void setContentView(std::shared_ptr<NSView> view);

    /// Shows the window through the application, which opens it on the
    /// display when it runs.
    void makeKeyAndOrderFront();
    bool isVisible() const { return visible_; }
    /// Closes the window: it disappears and the application hears of it.
    void close();

    /// The X11 window once shown, for tests and the event loop.
    X11Window* backend() const { return backend_.get(); }

private:
    friend class NSApplication;
    std::expected<void, Error> open(const std::string& displayName);

    NSRect contentRect_;
    unsigned styleMask_;
    std::string title_;
    bool centred_ = false;
    bool visible_ = false;
    std::shared_ptr<NSView> contentView_;
    std::unique_ptr<X11Window> backend_;
};

/// What the application tells its delegate.
class NSApplicationDelegate {
public:
    virtual ~NSApplicationDelegate() = default;
    virtual void applicationDidFinishLaunching() {}
    virtual bool applicationShouldTerminateAfterLastWindowClosed() { return false; }
};

/// The process's application: its delegate, main menu and windows, and the
/// loop that runs them. Main thread only.
class NSApplication {
public:
    /// The shared application object.
    static NSApplication& shared();

    void setDelegate(NSApplicationDelegate* delegate) { delegate_ = delegate; }
    NSApplicationDelegate* delegate() const { return delegate_; }
    void setMainMenu(std::shared_ptr<NSMenu> menu) { mainMenu_ = std::move(menu); }
    const std::shared_ptr<NSMenu>& mainMenu() const { return mainMenu_; }

    /// Finishes launching (the delegate builds its windows), then runs the
    /// windows until terminate. An error when a window cannot be shown.
    std::expected<void, Error> run(const std::string& displayName = {});
    /// Ends the loop; run returns once the current event is handled.
    void terminate();
    bool isRunning() const { return running_; }

    /// Runs the main-menu entry whose key equivalent the key types with Ctrl;
    /// true when one ran.
    bool performKeyEquivalent(const NSKeyEvent& key);

    const std::vector<std::shared_ptr<NSWindow>>& windows() const { return windows_; }

private:
    friend class NSWindow;
    void orderFront(const std::shared_ptr<NSWindow>& window);
    void windowClosed(NSWindow* window);

    NSApplicationDelegate* delegate_ = nullptr;
    std::shared_ptr<NSMenu> mainMenu_;
    std::vector<std::shared_ptr<NSWindow>> windows_;
    std::vector<std::unique_ptr<X11Window>> closing_;
    std::string displayName_;
    std::optional<Error> error_;
    bool running_ = false;
    bool launched_ = false;
};

/// Runs the shared application; prints an error and answers 1 when it could
/// not show its windows, else 0 once it terminates.
int NSApplicationMain(int argc, char** argv);

} // namespace platform
