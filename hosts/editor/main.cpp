// orvane-editor: the plug-in's editor in a window of its own, or drawn
// off-screen to a PNG file. It loads the bundle as orvane-render does, makes
// the unit through the principal object and asks that object for its view.

#include "hosts/editor/StopSignals.h"
#include "hosts/render/PluginHost.h"
#include "hosts/render/RenderError.h"
#include "hosts/render/RenderOptions.h"
#include "platform/foundation/MainQueue.h"
#include "platform/ui/AUViewController.h"
#include "platform/ui/Compositor.h"
#include "platform/ui/X11Window.h"

#include <CLI/CLI.hpp>
#include <X11/keysym.h>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <string>

#ifndef ORVANE_VERSION
#define ORVANE_VERSION "unknown"
#endif

namespace {

using namespace orvane::render;

constexpr const char* kProgramName = "orvane-editor";
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr double kMaxSide = 16384.0;

struct EditorOptions {
    RenderOptions unit;
    std::optional<platform::NSSize> size;
    std::optional<std::filesystem::path> snapshot;
    bool showValues = false;
};

int fail(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", kProgramName, message.c_str());
    return kExitFailure;
}

/// As fail(), with the usage status for what the command line asked wrongly.
int fail(const platform::Error& error) {
    fail(error.message);
    return isCommandLineRefusal(error) ? kExitUsage : kExitFailure;
}

/// The window whose loop a signal ends, while there is one (main thread).
platform::X11Window* signalledWindow = nullptr;

std::expected<platform::NSSize, std::string> parseSize(std::string_view text) {
    const auto bad = [&] {
        return std::unexpected("--size: '" + std::string(text) + "' is not WIDTHxHEIGHT in points, e.g. 600x400");
    };
    const auto x = text.find('x');
    if (x == std::string_view::npos) return bad();
    unsigned width = 0, height = 0;
    const auto w = std::from_chars(text.data(), text.data() + x, width);
    const auto h = std::from_chars(text.data() + x + 1, text.data() + text.size(), height);
    if (x == 0 || w.ec != std::errc{} || w.ptr != text.data() + x || h.ec != std::errc{} ||
        h.ptr != text.data() + text.size() || x + 1 == text.size())
        return bad();
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide)
        return std::unexpected("--size: '" + std::string(text) + "' is outside 1x1 to 16384x16384");
    return platform::NSSize{double(width), double(height)};
}

/// Whether two paths name one file: the same resolved path, or the same
/// device and inode when both exist.
bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::error_code error;
    if (std::filesystem::weakly_canonical(std::filesystem::absolute(a), error) ==
        std::filesystem::weakly_canonical(std::filesystem::absolute(b), error))
        return true;
    return std::filesystem::equivalent(a, b, error) && !error;
}

/// Parses the command line; a string result is text to print and exit 0 with.
std::expected<std::variant<EditorOptions, std::string>, std::string> parse(int argc, char** argv) {
    CLI::App app{"Shows the Orvane effect's editor in a window, or draws it to a PNG file.", kProgramName};
    app.footer("Tab moves between the knobs, the arrow keys, Page Up/Down, Home and End turn the one with the "
               "ring, Enter opens a field to type its value in, V shows every knob's value.\n\n"
               "Every parameter change is printed as one line \"ID VALUE\", and a gesture on a knob (drag, "
               "wheel, keys, double-click, typed value) begins with \"ID touch\" and ends with \"ID release\". "
               "Ctrl+Q, Ctrl+W or closing the window quits.\n\nExit status: 0 on success, 1 when the plug-in, a state file or the "
               "window fails, 2 for a command line it cannot take.");
    std::string plugin, preset, state, size, snapshot, saveState;
    std::vector<std::string> settings;
    app.add_option("--plugin", plugin, "The plug-in bundle to load (default: the one installed beside the program)")
        ->type_name("FOLDER");
    app.add_option("--preset", preset, "Factory preset to start from, by number or name")->type_name("N|NAME");
    app.add_option("--set", settings, "Set a parameter; repeatable, applied in order")
        ->type_name("ID=VALUE")
        ->allow_extra_args(false);
    app.add_option("--state", state, "Restore a saved state first")->type_name("FILE");
    app.add_option("--size", size,
                   "Editor size in points (default: the editor's own, 420x280); the window is GDK_SCALE, or the "
                   "X server's Xft.dpi / 96, pixels a point")
        ->type_name("WxH");
    app.add_option("--snapshot", snapshot, "Draw the editor off-screen into this PNG file and exit")
        ->type_name("FILE.png");
    bool showValues = false;
    app.add_flag("--show-values", showValues,
                 "Show every knob's value instead of its name, as the V key does (for --snapshot too)");
    app.add_option("--save-state", saveState, "Write the unit's state to this file when the window closes")
        ->type_name("FILE");
    app.set_version_flag("--version", std::string(kProgramName) + " " + ORVANE_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        return app.help();
    } catch (const CLI::CallForVersion& version) {
        return std::string(version.what()) + "\n";
    } catch (const CLI::ParseError& error) {
        return std::unexpected(std::string(error.what()));
    }

    EditorOptions options;
    options.showValues = showValues;
    const auto path = [&](const char* name, const std::string& text,
                          std::optional<std::filesystem::path>& into) -> std::expected<void, std::string> {
        if (app.count(name) == 0) return {};
        if (text.empty()) return std::unexpected(std::string(name) + ": the file name is empty");
        into = text;
        return {};
    };
    for (auto [name, text, into] : {std::tuple{"--plugin", &plugin, &options.unit.plugin},
                                    std::tuple{"--state", &state, &options.unit.stateFile},
                                    std::tuple{"--save-state", &saveState, &options.unit.saveStateFile},
                                    std::tuple{"--snapshot", &snapshot, &options.snapshot}}) {
        if (auto ok = path(name, *text, *into); !ok) return std::unexpected(ok.error());
    }
    if (app.count("--preset")) {
        auto choice = parsePresetChoice(preset);
        if (!choice) return std::unexpected(choice.error());
        options.unit.preset = std::move(*choice);
    }
    for (const auto& text : settings) {
        auto setting = parseParameterSetting(text);
        if (!setting) return std::unexpected(setting.error());
        options.unit.settings.push_back(std::move(*setting));
    }
    if (options.snapshot) {
        std::string extension = options.snapshot->extension().string();
        for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (extension != ".png") {
            return std::unexpected("--snapshot: '" + options.snapshot->string() +
                                   "' does not end in .png; snapshots are PNG images");
        }
        for (const auto& other : {options.unit.stateFile, options.unit.saveStateFile}) {
            if (other && sameFile(*other, *options.snapshot)) {
                return std::unexpected("--snapshot: '" + options.snapshot->string() + "' is also the state file '" +
                                       other->string() + "'; refusing to overwrite it");
            }
        }
    }
    if (app.count("--size")) {
        auto parsed = parseSize(size);
        if (!parsed) return std::unexpected(parsed.error());
        options.size = *parsed;
    }
    return options;
}

void drainMainQueue() {
    while (platform::MainQueue::shared().runPending() > 0) {
    }
}

int run(const EditorOptions& options) {
    // Found out now, not when the window closes after the work is done.
    if (options.unit.saveStateFile) {
        if (auto writable = checkSaveStateTarget(*options.unit.saveStateFile); !writable) return fail(writable.error());
    }
    auto host = PluginHost::open(options.unit.plugin);
    if (!host) return fail(host.error().message);
    auto unit = host->createUnit();
    if (!unit) return fail(unit.error().message);
    if (auto configured = configureUnit(**unit, options.unit); !configured) return fail(configured.error());

    auto controller = std::dynamic_pointer_cast<platform::AUViewController>(host->plugIn().principal);
    if (!controller) return fail("the plug-in has no editor");
    auto view = controller->view();
    // The connection the factory queued, and anything the view queued.
    drainMainQueue();
    // The editor's own toggle, pressed once.
    if (options.showValues) {
        platform::NSKeyEvent v;
        v.keysym = XK_v;
        v.characters = "v";
        platform::NSEventRouter(view).dispatchKey(v);
    }
    const platform::NSSize preferred = controller->preferredContentSize();
    const platform::NSSize size =
        options.size.value_or(preferred.width >= 1.0 && preferred.height >= 1.0 ? preferred
                                                                                 : platform::NSSize{420.0, 280.0});

    if (options.snapshot) {
        // Off-screen there is no display to ask: GDK_SCALE alone sets the scale.
        auto image = platform::snapshotViewTree(*view, size, platform::scaleFactorFromEnvironment().value_or(1.0));
        if (!image) return fail("the editor could not be drawn");
        if (auto written = platform::writePNG(*image, *options.snapshot); !written) return fail(written.error().message);
        if (options.unit.saveStateFile) {
            if (auto saved = saveState(**unit, *options.unit.saveStateFile); !saved) return fail(saved.error().message);
        }
        return 0;
    }

    // From here on every change the unit announces is a line of its own, and
    // so are the touch and release around a gesture on a knob.
    if (auto tree = (*unit)->parameterTree()) {
        tree->tokenByAddingParameterAutomationObserver(
            [weakTree = std::weak_ptr(tree)](platform::NSInteger count, const platform::AUParameterAutomationEvent* events) {
                auto tree = weakTree.lock();
                for (platform::NSInteger i = 0; tree && i < count; ++i) {
                    const auto& event = events[i];
                    auto parameter = tree->parameterWithAddress(event.address);
                    if (!parameter) continue;
                    const char* id = parameter->identifier().c_str();
                    switch (event.eventType) {
                    case platform::AUParameterAutomationEventTypeTouch: std::printf("%s touch\n", id); break;
                    case platform::AUParameterAutomationEventTypeRelease: std::printf("%s release\n", id); break;
                    default: std::printf("%s %.6f\n", id, static_cast<double>(event.value)); break;
                    }
                }
                std::fflush(stdout);
            });
    }

    platform::X11Window::Options windowOptions;
    windowOptions.title = "Orvane";
    windowOptions.size = size;
    auto window = platform::X11Window::open(view, windowOptions);
    if (!window) return fail(window.error().message);
    platform::X11Window& shown = **window;
    shown.onCloseRequest = [&shown] { shown.stop(); };
    shown.onKeyDown = [&shown](const platform::NSKeyEvent& key) {
        if (key.control && (key.keysym == XK_q || key.keysym == XK_w)) shown.stop();
    };
    shown.show();
    signalledWindow = &shown;
    // A signal that came before the window was there ends it at once.
    platform::MainQueue::shared().enqueue([] {
        if (orvane::editor::stopSignal() && signalledWindow) signalledWindow->stop();
    });
    shown.run();
    signalledWindow = nullptr;
    window->reset();

    if (options.unit.saveStateFile) {
        if (auto saved = saveState(**unit, *options.unit.saveStateFile); !saved) return fail(saved.error().message);
    }
    // Ended by a signal: saved as on a close, then the status a shell expects.
    return orvane::editor::stopSignal() ? 128 + orvane::editor::stopSignal() : 0;
}

} // namespace

int main(int argc, char** argv) {
    orvane::editor::stopOnSignals([](int) {
        if (signalledWindow) signalledWindow->stop();
    });
    auto parsed = parse(argc, argv);
    if (!parsed) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgramName, parsed.error().c_str(), kProgramName);
        return kExitUsage;
    }
    if (const auto* text = std::get_if<std::string>(&*parsed)) {
        std::fputs(text->c_str(), stdout);
        return 0;
    }
    auto& options = std::get<EditorOptions>(*parsed);
    options.unit.presetAfterState = presetComesAfterState(argc, argv);
    return run(options);
}
