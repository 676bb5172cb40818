#pragma once

#include "platform/foundation/PropertyList.h"
#include "platform/ui/Application.h"

#include <memory>
#include <optional>
#include <string>

namespace orvane {

/// The container application: at launch it shows one fixed window that
/// presents the product (the large knob artwork, the version, a separator and
/// what the product is) and a main menu whose only entry quits. Closing the
/// window quits too. Main thread only.
class AppDelegate : public platform::NSApplicationDelegate {
public:
    static constexpr platform::NSSize kWindowSize{400.0, 300.0};
    static constexpr platform::NSColor kPanelColor{0.4, 0.2, 0.6, 1.0};
    static constexpr double kArtworkSide = 100.0;
    static constexpr double kSeparatorWidth = 180.0;

    AppDelegate() = default;

    void applicationDidFinishLaunching() override;
    bool applicationShouldTerminateAfterLastWindowClosed() override { return true; }

    /// Builds the menu and the window and brings the window to the front.
    void setUpMainWindow();

    /// A thin white line at 30 % opacity, `width` points wide and 1 high.
    static std::shared_ptr<platform::NSView> makeSeparator(double width);

    /// The application's only window, made at launch.
    std::shared_ptr<platform::NSWindow> window;
};

/// "v<short version> (<build number>)" from an information dictionary; each
/// part is "?" when the dictionary lacks it or it is not text.
std::string versionLine(const std::optional<platform::PropertyList>& info);

} // namespace orvane
