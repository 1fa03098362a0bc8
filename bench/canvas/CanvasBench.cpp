// Flood fill and history replay costs of the drawing surface.
#include "RandomHistory.h"
#include "surface/Canvas.h"
#include "surface/Shape.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

using namespace kolvaro;
namespace {

constexpr QSize fullHd{1920, 1080};

// Alternates the fill between white-on-black and black-on-white, so each
// iteration repaints the whole region without resetting the surface.
void fillBackAndForth(benchmark::State& state, Canvas& canvas, QPoint seed) {
    std::int64_t region = 0;
    for (int y = 0; y < canvas.size().height(); ++y)
        for (int x = 0; x < canvas.size().width(); ++x)
            region += canvas.pixel(x, y) == Canvas::White;
    bool toBlack = true;
    std::int64_t pixels = 0;
    for (auto _ : state) {
        canvas.brush() = {toBlack ? Canvas::Black : Canvas::White, Canvas::BrushStyle::Solid};
        canvas.floodFill(seed.x(), seed.y(), toBlack ? Canvas::White : Canvas::Black);
        toBlack = !toBlack;
        pixels += region;
    }
    state.counters["region px"] = double(region);
    state.counters["px/s"] = benchmark::Counter(double(pixels), benchmark::Counter::kIsRate);
}

void BM_FillEmpty1080p(benchmark::State& state) {
    Canvas canvas(fullHd);
    fillBackAndForth(state, canvas, {960, 540});
}
BENCHMARK(BM_FillEmpty1080p)->Unit(benchmark::kMillisecond);

// Serpentine corridors 4 px wide, with scattered dots that break up the runs.
Canvas maze() {
    Canvas canvas(fullHd);
    for (int x = 6; x < fullHd.width(); x += 6) {
        const bool fromTop = (x / 6) % 2 == 0;
        drawShape(canvas, {x, fromTop ? 0 : 8, x, fromTop ? fullHd.height() - 8 : fullHd.height(),
                           PaintKind::Line});
    }
    std::mt19937 random(7);
    std::uniform_int_distribution<int> column(0, fullHd.width() / 6 - 1), row(0, fullHd.height());
    for (int i = 0; i < 20000; ++i)
        drawShape(canvas, {column(random) * 6 + 3, row(random), 0, 0, PaintKind::Point});
    return canvas;
}

void BM_FillMaze1080p(benchmark::State& state) {
    Canvas canvas = maze();
    fillBackAndForth(state, canvas, {2, 2});
}
BENCHMARK(BM_FillMaze1080p)->Unit(benchmark::kMillisecond);

// How an area rebuilds its surface: the whole history with one painter.
void BM_Rebuild10kShapes(benchmark::State& state) {
    const QSize size(int(state.range(0)), int(state.range(1)));
    const std::vector<PaintRecord> shapes = randomHistory(10000, size);
    Canvas canvas;
    for (auto _ : state) {
        canvas.reset(size);
        drawShapes(canvas, shapes);
        benchmark::DoNotOptimize(canvas.image().constBits());
    }
}
BENCHMARK(BM_Rebuild10kShapes)->Args({800, 600})->Args({1920, 1080})->Unit(benchmark::kMillisecond);

// The same history shape by shape, a painter for each, for comparison.
void BM_Rebuild10kShapesOnePainterEach(benchmark::State& state) {
    const QSize size(int(state.range(0)), int(state.range(1)));
    const std::vector<PaintRecord> shapes = randomHistory(10000, size);
    Canvas canvas;
    for (auto _ : state) {
        canvas.reset(size);
        for (const PaintRecord& shape : shapes)
            drawShape(canvas, shape);
        benchmark::DoNotOptimize(canvas.image().constBits());
    }
}
BENCHMARK(BM_Rebuild10kShapesOnePainterEach)
    ->Args({800, 600})
    ->Args({1920, 1080})
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
