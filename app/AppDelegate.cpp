#include "app/AppDelegate.h"

#include "artwork/KnobsStyleKit.h"
#include "platform/foundation/Bundle.h"
#include "platform/ui/Controls.h"

namespace orvane {

using namespace platform;

namespace {

std::string textEntry(const std::optional<PropertyList>& info, const std::string& key) {
    const PropertyList* value = info ? info->find(key) : nullptr;
    const std::string* text = value ? value->string() : nullptr;
    return text ? *text : "?";
}

} // namespace

std::string versionLine(const std::optional<PropertyList>& info) {
    return "v" + textEntry(info, "CFBundleShortVersionString") + " (" + textEntry(info, "CFBundleVersion") + ")";
}

void AppDelegate::applicationDidFinishLaunching() { setUpMainWindow(); }

std::shared_ptr<NSView> AppDelegate::makeSeparator(double width) {
    auto separator = std::make_shared<NSView>();
    separator->setWantsLayer(true);
    separator->layer()->setBackgroundColor(NSColor::colorWithWhite(1.0, 0.3));
    separator->setTranslatesAutoresizingMaskIntoConstraints(false);
    NSLayoutConstraint::activateConstraints({separator->heightEqualToConstant(1.0), separator->widthEqualToConstant(width)});
    return separator;
}

void AppDelegate::setUpMainWindow() {
    NSApplication& app = NSApplication::shared();

    // Menu: one untitled entry whose submenu quits; Ctrl+Q stands in for the
    // platform's Command-Q.
    auto mainMenu = std::make_shared<NSMenu>();
    auto appItem = std::make_shared<NSMenuItem>();
    auto appMenu = std::make_shared<NSMenu>();
    appMenu->addItemWithTitle("Quit Orvane", [] { NSApplication::shared().terminate(); }, "q");
    appItem->setSubmenu(appMenu);
    mainMenu->addItem(appItem);
    app.setMainMenu(mainMenu);

    window = std::make_shared<NSWindow>(NSRect{{0.0, 0.0}, kWindowSize},
                                        NSWindowStyleMaskTitled | NSWindowStyleMaskClosable |
                                            NSWindowStyleMaskMiniaturizable,
                                        NSBackingStoreBuffered, false);
    window->setTitle("Orvane");
    window->center();

    auto content = std::make_shared<NSView>(NSRect{{0.0, 0.0}, kWindowSize});
    content->setWantsLayer(true);
    content->layer()->setBackgroundColor(kPanelColor);
    window->setContentView(content);

    auto stack = std::make_shared<NSStackView>();
    stack->setOrientation(NSUserInterfaceLayoutOrientation::vertical);
    stack->setSpacing(10.0);
    stack->setTranslatesAutoresizingMaskIntoConstraints(false);
    content->addSubview(stack);
    NSLayoutConstraint::activateConstraints({stack->centerXEqualToParent(), stack->centerYEqualToParent(),
                                             stack->widthLessThanOrEqualToParentWidth(0.85)});

    auto box = std::make_shared<NSView>(NSRect{{0.0, 0.0}, {kArtworkSide, kArtworkSide}});
    box->setTranslatesAutoresizingMaskIntoConstraints(false);
    NSLayoutConstraint::activateConstraints({box->widthEqualToConstant(kArtworkSide), box->heightEqualToConstant(kArtworkSide)});
    for (const char* name : {"OrvaneUnderlay", "KnobOverlay"}) {
        auto image = NSImageView::imageViewWithImage(artworkImage(name, kArtworkSide, kArtworkSide, 1.0));
        image->setFrame(box->bounds());
        image->setAutoresizingMask(NSViewWidthSizable | NSViewHeightSizable);
        image->setImageScaling(NSImageScaling::proportionallyUpOrDown);
        box->addSubview(image);
    }
    stack->addArrangedSubview(box);

    auto main = Bundle::mainBundle();
    auto version = NSTextField::labelWithString(versionLine(main ? std::optional(main->infoDictionary()) : std::nullopt));
    version->setFont(NSFont::systemFontOfSize(12.0));
    version->setTextColor(NSColor::whiteColor());
    version->setTranslatesAutoresizingMaskIntoConstraints(false);
    stack->addArrangedSubview(version);

    stack->addArrangedSubview(makeSeparator(kSeparatorWidth));

    auto kind = NSTextField::labelWithString("Audio Unit Effect (AUv3)");
    kind->setFont(NSFont::systemFontOfSize(13.0));
    kind->setTextColor(NSColor::whiteColor());
    kind->setAlignment(NSTextAlignment::center);
    kind->setTranslatesAutoresizingMaskIntoConstraints(false);
    stack->addArrangedSubview(kind);

    window->makeKeyAndOrderFront();
}

} // namespace orvane
