// How long a drawing area keeps the window thread when it is resized, with a
// long history: the whole redraw on the window thread (how areas worked
// before) beside the redraw on the area's own thread, in one run.
//
//   bench_area [shapes...]      default: 10000 100000
#include "RandomHistory.h"
#include "surface/ServerLink.h"
#include "widgets/AreaHost.h"
#include "widgets/AreaWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <time.h>
#include <vector>

using namespace kolvaro;
namespace {

struct QuietLink : ServerLink {
    void paint(const PaintRecord&, const std::string&) override {}
    void clearAll(const std::string&) override {}
    void loadArea(const std::string&, const std::string&) override {}
    void logout(const std::string&) override {}
    void resend(const PaintRecord&, const std::string&) override {}
    void sendTxt(const std::string&, const std::string&, const std::string&, Done) override {}
};

struct StillHost : AreaHost {
    PaintKind currentTool() const override { return PaintKind::Point; }
    void showPosition(int, int) override {}
    std::string activeAreaName() const override { return "A"; }
    void areaClosed(AreaWindow&) override {}
};

double ms(const QElapsedTimer& clock) {
    return clock.nsecsElapsed() / 1e6;
}

// Processor time of the calling thread: what it did, whatever else the
// shared machine ran meanwhile.
double threadMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// Times every event the area handles on the window thread (resize, paint,
// the redraw's arrival): the stalls that are the area's own doing.
class TimedApp : public QApplication {
public:
    using QApplication::QApplication;
    QObject* watched = nullptr;
    double longest = 0;
    double longestWork = 0; // processor time

    bool notify(QObject* receiver, QEvent* event) override {
        if (receiver != watched)
            return QApplication::notify(receiver, event);
        QElapsedTimer clock;
        clock.start();
        const double work = threadMs();
        const bool done = QApplication::notify(receiver, event);
        longest = std::max(longest, ms(clock));
        longestWork = std::max(longestWork, threadMs() - work);
        return done;
    }
};

// Serves the window thread's events for a while without spinning.
void waitOnWindowThread(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// Ten sizes as a dragged window edge passes them.
std::vector<QSize> dragSizes() {
    std::vector<QSize> sizes;
    for (int i = 1; i <= 10; ++i)
        sizes.push_back({800 + 12 * i, 600 + 9 * i});
    return sizes;
}

// Before: each resize redrew the whole history on the window thread.
void onWindowThread(const std::vector<PaintRecord>& shapes) {
    double worst = 0, worstWork = 0, total = 0;
    Canvas canvas;
    for (QSize size : dragSizes()) {
        QElapsedTimer clock;
        clock.start();
        const double work = threadMs();
        canvas.reset(size);
        drawShapes(canvas, shapes);
        worst = std::max(worst, ms(clock));
        worstWork = std::max(worstWork, threadMs() - work);
        total += ms(clock);
    }
    std::printf("  window thread redraws: longest stall %7.1f ms (%7.1f ms of work), last size "
                "shown %7.1f ms after the first resize\n",
                worst, worstWork, total);
}

// After: the area as it is, resized every frame (16 ms) like a dragged
// edge; a 1 ms timer on the window thread sees how long it was kept.
void onItsOwnThread(const std::vector<PaintRecord>& shapes) {
    StillHost host;
    QuietLink link;
    AreaWindow area(host, link);
    area.resize(800, 600);
    area.show();
    for (const PaintRecord& shape : shapes)
        area.drawRelayed(shape);
    QApplication::processEvents();
    auto* app = static_cast<TimedApp*>(QApplication::instance());
    app->watched = &area;
    app->longest = app->longestWork = 0;

    QElapsedTimer clock, sinceTick;
    double worstGap = 0, worstResize = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        worstGap = std::max(worstGap, ms(sinceTick));
        sinceTick.restart();
    });
    clock.start();
    sinceTick.start();
    ticker.start();
    for (QSize size : dragSizes()) {
        QElapsedTimer resize;
        resize.start();
        area.resize(size);
        worstResize = std::max(worstResize, ms(resize));
        sinceTick.restart(); // the resize itself is counted above
        waitOnWindowThread(16);
    }
    while (area.canvas().size() != area.size())
        waitOnWindowThread(1);
    const double shown = ms(clock);
    ticker.stop();
    app->watched = nullptr;
    const QImage fresh = [&] {
        Canvas canvas(area.size());
        drawShapes(canvas, shapes);
        return canvas.image();
    }();
    std::printf("  own thread redraws:    longest stall %7.1f ms (%7.1f ms of work; a 1 ms timer "
                "waited at most %.1f ms), last size shown %7.1f ms after the first resize, %s\n",
                app->longest, app->longestWork, std::max(worstGap, worstResize), shown,
                area.canvas().image() == fresh ? "same as a fresh redraw"
                                               : "DIFFERS from a fresh redraw");
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    TimedApp app(argc, argv);
    std::vector<std::size_t> counts;
    for (int i = 1; i < argc; ++i)
        counts.push_back(std::strtoull(argv[i], nullptr, 10));
    if (counts.empty())
        counts = {10000, 100000};
    for (std::size_t count : counts) {
        const std::vector<PaintRecord> shapes = randomHistory(count, {800, 600});
        std::printf("%zu shapes, ten resizes from 812x609 to 920x690, one per 16 ms frame:\n",
                    count);
        onWindowThread(shapes);
        onItsOwnThread(shapes);
    }
    return 0;
}
