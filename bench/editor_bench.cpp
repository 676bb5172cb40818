// Speed of the editor: a full redraw of the panel (what every expose and
// every knob turn costs) and a layout after a resize (which renders the
// knobs' artwork afresh at the new size).
//
//   cmake --preset release && cmake --build --preset release --target orvane_editor_bench
//   build/release/bench/OrvaneEditorBench.bundle/orvane_editor_bench

#include "editor/OrvaneAUViewControllerMac.h"
#include "platform/ui/Compositor.h"

#include <benchmark/benchmark.h>

#include <cairo.h>

namespace {

void redraw(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    auto controller = std::make_shared<orvane::OrvaneAUViewControllerMac>();
    auto view = controller->view();
    view->setFrameSize({double(w), double(h)});
    view->layoutSubtreeIfNeeded();
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    float value = 0.0f;
    for (auto _ : state) {
        // As when a knob turns: one pointer moves, the whole panel is drawn.
        value = value > 0.99f ? 0.0f : value + 0.01f;
        controller->granularityKnob->setValue(value);
        cairo_t* context = cairo_create(surface);
        platform::drawViewTree(*view, context);
        cairo_destroy(context);
        cairo_surface_flush(surface);
    }
    cairo_surface_destroy(surface);
}
BENCHMARK(redraw)->Args({420, 280})->Args({1200, 800})->Unit(benchmark::kMillisecond);

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

} // namespace

BENCHMARK_MAIN();
