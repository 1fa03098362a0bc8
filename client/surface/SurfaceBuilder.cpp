#include "SurfaceBuilder.h"

#include "Canvas.h"

namespace kolvaro {

namespace {

// How many shapes are drawn between two looks at whether the work is still wanted.
constexpr std::size_t checkEvery = 256;

} // namespace

SurfaceBuilder::SurfaceBuilder(Done done) : done_(std::move(done)) {}

SurfaceBuilder::~SurfaceBuilder() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
        next_.reset();
        ++wanted_;
    }
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void SurfaceBuilder::build(Request request) {
    {
        std::lock_guard lock(mutex_);
        wanted_ = request.ticket;
        next_ = std::move(request);
        // Started at the first request: many areas are never redrawn at all.
        if (!thread_.joinable())
            thread_ = std::thread([this] { run(); });
    }
    wake_.notify_one();
}

void SurfaceBuilder::cancel() {
    std::lock_guard lock(mutex_);
    next_.reset();
    ++wanted_;
}

void SurfaceBuilder::run() {
    for (;;) {
        Request request;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return quit_ || next_; });
            if (quit_)
                return;
            request = std::move(*next_);
            next_.reset();
        }
        std::optional<QImage> picture = draw(request);
        if (picture && wanted_ == request.ticket)
            done_(request.ticket, std::move(*picture));
    }
}

std::optional<QImage> SurfaceBuilder::draw(Request& request) {
    Canvas canvas;
    if (request.start.isNull())
        canvas.reset(request.size);
    else
        canvas.setImage(std::move(request.start));
    {
        Canvas::Batch batch(canvas);
        for (std::size_t i = 0; i < request.shapes.size(); ++i) {
            if (i % checkEvery == 0 && wanted_ != request.ticket)
                return std::nullopt;
            drawShape(canvas, request.shapes[i]);
        }
    }
    return canvas.image();
}

} // namespace kolvaro
