// Speed of the editor, as a window meets it: a knob turned under the pointer
// (its readout showing) redraws only its own box; an expose or a layout
// draws the whole panel; a resize lays the knobs out again and finds their
// pictures for the new size. Targets: one knob turned at 1200x800 within
// 2 ms, the whole panel at 1200x800 within 8 ms, a layout after a resize
// between 420x280 and 600x400 within 5 ms.
//
//   cmake --preset release && cmake --build --preset release --target orvane_editor_bench
//   build/release/bench/OrvaneEditorBench.bundle/orvane_editor_bench

#include "editor/OrvaneAUViewControllerMac.h"
#include "platform/ui/Compositor.h"

#include <benchmark/benchmark.h>

#include <cairo.h>

namespace {

/// The editor laid out at w x h with the pointer resting on granularity, and
/// a bitmap to draw into.
struct Panel {
    std::shared_ptr<orvane::OrvaneAUViewControllerMac> controller = std::make_shared<orvane::OrvaneAUViewControllerMac>();
    std::shared_ptr<platform::NSView> view = controller->view();
    platform::NSEventRouter router{view};
    cairo_surface_t* surface;
    float value = 0.0f;

    Panel(int w, int h) : surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h)) {
        view->setFrameSize({double(w), double(h)});
        view->layoutSubtreeIfNeeded();
        const platform::NSRect knob = controller->granularityKnob->frame();
        router.dispatch({platform::NSEvent::Type::mouseMoved, 0, {knob.midX(), knob.midY()}, 0});
        draw(nullptr);
    }
    ~Panel() { cairo_surface_destroy(surface); }

    void turn() {
        value = value > 0.99f ? 0.0f : value + 0.01f;
        controller->granularityKnob->setValue(value);
    }
    void draw(const platform::NSRect* clip) {
        cairo_t* context = cairo_create(surface);
        if (clip) platform::drawViewTree(*view, context, *clip);
        else platform::drawViewTree(*view, context);
        cairo_destroy(context);
        cairo_surface_flush(surface);
    }
};

void oneKnobTurned(benchmark::State& state) {
    Panel panel(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) {
        // What a window does: draw what the turn marked.
        panel.turn();
        const auto marked = panel.view->needsDisplayRect();
        if (marked) {
            const platform::NSRect rect = *marked;
            panel.draw(&rect);
        }
    }
}
BENCHMARK(oneKnobTurned)->Args({420, 280})->Args({1200, 800})->Unit(benchmark::kMillisecond);

void wholePanel(benchmark::State& state) {
    Panel panel(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) {
        panel.turn();
        panel.draw(nullptr);
    }
}
BENCHMARK(wholePanel)->Args({420, 280})->Args({1200, 800})->Unit(benchmark::kMillisecond);

void layoutAfterResize(benchmark::State& state) {
    auto controller = std::make_shared<orvane::OrvaneAUViewControllerMac>();
    auto view = controller->view();
    bool wide = false;
    for (auto _ : state) {
        wide = !wide;
        view->setFrameSize(wide ? platform::NSSize{600, 400} : platform::NSSize{420, 280});
        view->layoutSubtreeIfNeeded();
    }
}
BENCHMARK(layoutAfterResize)->Unit(benchmark::kMillisecond);

// A live resize meets a new size at nearly every step: every picture is
// rendered afresh.
void layoutAtNewSizes(benchmark::State& state) {
    auto controller = std::make_shared<orvane::OrvaneAUViewControllerMac>();
    auto view = controller->view();
    int step = 0;
    for (auto _ : state) {
        step = (step + 1) % 200;
        view->setFrameSize({420.0 + 3 * step, 280.0 + 2 * step});
        view->layoutSubtreeIfNeeded();
    }
}
BENCHMARK(layoutAtNewSizes)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
