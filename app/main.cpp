// Orvane: the application whose bundle holds the plug-in. It shows one window
// that presents the product; it neither loads the plug-in nor plays audio.

#include "app/AppDelegate.h"

namespace {
// The delegate lives as long as the process.
orvane::AppDelegate* appDelegate = nullptr;
} // namespace

int main(int argc, char** argv) {
    appDelegate = new orvane::AppDelegate();
    platform::NSApplication::shared().setDelegate(appDelegate);
    return platform::NSApplicationMain(argc, argv);
}
