// Orvane: the application whose bundle holds the plug-in. It shows one window
// that presents the product; it neither loads the plug-in nor plays audio.

#include "app/AppDelegate.h"
#include "platform/foundation/Bundle.h"

#include <cstdio>
#include <string_view>

namespace {

// The delegate lives as long as the process.
orvane::AppDelegate* appDelegate = nullptr;

constexpr const char* kUsage =
    "Usage: orvane [--help] [--version]\n"
    "\n"
    "Opens the Orvane application's window: the product's artwork and version.\n"
    "Ctrl+Q or closing the window quits. The effect itself runs in LV2 hosts\n"
    "(orvane.lv2), in orvane-render and in orvane-editor.\n"
    "\n"
    "Options:\n"
    "  -h,--help     Print this help message and exit\n"
    "  --version     Print the version and exit\n"
    "\n"
    "Exit status: 0 when the window was closed, 1 when it could not be opened\n"
    "(no X display), 2 for a command line it cannot take.\n";

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (argument == "--version") {
            const auto bundle = platform::Bundle::mainBundle();
            const auto info = bundle ? std::optional(bundle->infoDictionary()) : std::nullopt;
            std::printf("orvane %s\n", orvane::versionLine(info).c_str());
            return 0;
        }
        std::fprintf(stderr, "orvane: unknown argument '%s'\nTry 'orvane --help'.\n", argv[i]);
        return 2;
    }
    appDelegate = new orvane::AppDelegate();
    platform::NSApplication::shared().setDelegate(appDelegate);
    return platform::NSApplicationMain(argc, argv);
}
