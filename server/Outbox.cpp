#include "Outbox.h"

#include "CallFailure.h"
#include "SenderWaker.h"

#include <omnithread.h>

namespace kolvaro {

void Completion::finish(bool delivered) {
    std::lock_guard lock(mutex_);
    if (finished_)
        return;
    finished_ = true;
    delivered_ = delivered;
    changed_.notify_all();
}

bool Completion::wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return finished_; });
    return delivered_;
}

Outbox::Outbox(TKolvaro::Client_ptr target, Limits limits, std::function<void()> onGone,
               std::unique_ptr<Pipeline> pipeline)
    : target_(TKolvaro::Client::_duplicate(target)), limits_(limits), onGone_(std::move(onGone)),
      pipeline_(std::move(pipeline)) {
    if (pipeline_) {
        pipedPaints_ = pipeline_->as<TKolvaro::Kolvaro>();
        pipedNotices_ = pipeline_->as<TKolvaro::Client>();
    }
    thread_ = std::thread([this] { run(); });
}

Outbox::~Outbox() {
    close();
    join();
}

void Outbox::wake() {
    std::lock_guard lock(mutex_);
    ready_.notify_one();
}

Outbox::Pushed Outbox::push(Delivery d, bool wake) {
    std::lock_guard lock(mutex_);
    if (closed_) {
        if (d.done)
            d.done->finish(false);
        return Pushed::Ok;
    }
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    if (queue_.empty() && !busy_)
        progress_ = now; // idle so far: the wait for progress starts here
    queue_.push_back(std::move(d));
    if (wake)
        ready_.notify_one();
    if (now - progress_.load() >
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(limits_.maxStall).count())
        return Pushed::Behind;
    if (queue_.size() > 2 * limits_.maxEntries)
        return Pushed::Behind;
    return queue_.size() > limits_.maxEntries ? Pushed::Full : Pushed::Ok;
}

void Outbox::waitForRoom() {
    using Clock = std::chrono::steady_clock;
    bool stalled = false;
    {
        std::unique_lock lock(mutex_);
        ++roomWaiters_;
        while (!closed_ && queue_.size() >= limits_.maxEntries) {
            const Clock::time_point stallsAt =
                Clock::time_point(Clock::duration(progress_.load())) + limits_.maxStall;
            if (Clock::now() >= stallsAt) {
                stalled = true;
                break;
            }
            roomy_.wait_until(lock, stallsAt);
        }
        --roomWaiters_;
    }
    if (stalled) {
        onGone_();
        close();
    }
}

void Outbox::close() {
    std::deque<Delivery> dropped;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        dropped.swap(queue_);
        ready_.notify_all();
        roomy_.notify_all();
    }
    for (auto& d : dropped)
        if (d.done)
            d.done->finish(false);
}

void Outbox::join() {
    std::lock_guard lock(joinMutex_);
    if (!thread_.joinable())
        return;
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach(); // only reachable if the last owner lets go on this thread
    else
        thread_.join();
}

bool Outbox::closed() {
    std::lock_guard lock(mutex_);
    return closed_;
}

void Outbox::run() {
    // omniORB keeps per-thread call state; give this thread an identity.
    omni_thread::ensure_self self;
    // Woken while a drawing call still has its reply to send; that reply
    // goes first.
    yieldOnWakeup();
    std::vector<Part> batch;
    for (;;) {
        batch.clear();
        {
            std::unique_lock lock(mutex_);
            busy_ = false;
            asleep_ = queue_.empty() && !closed_;
            ready_.wait(lock, [&] { return closed_ || !queue_.empty(); });
            asleep_ = false;
            if (closed_)
                break;
            take(batch);
            busy_ = true;
            if (roomWaiters_ && queue_.size() < limits_.maxEntries)
                roomy_.notify_all();
        }
        const bool alive = pipeline_ ? sendBatch(batch) : deliver(batch.front().d);
        if (!alive) {
            onGone_();
            close();
        }
        // Markers of a batch cut short report what they could not confirm.
        for (auto& part : batch)
            if (part.d.done)
                part.d.done->finish(alive && !closed());
        if (!alive)
            break;
    }
    finished_ = true;
}

void Outbox::take(std::vector<Part>& batch) {
    if (!pipeline_) {
        batch.push_back({std::move(queue_.front())});
        queue_.pop_front();
        return;
    }
    // A marker ends a batch: it is finished once the batch is confirmed.
    for (std::size_t calls = 0; !queue_.empty() && calls < batchLimit_;) {
        Delivery& front = queue_.front();
        if (front.kind == Delivery::Kind::Replay) {
            const std::size_t from = front.replayed;
            const std::size_t to = std::min(front.replay->size(), from + batchLimit_ - calls);
            batch.push_back({front, from, to});
            calls += to - from;
            front.replayed = to;
            if (to < front.replay->size())
                break;
        } else {
            batch.push_back({std::move(front)});
            ++calls;
        }
        queue_.pop_front();
        if (batch.back().d.kind == Delivery::Kind::Marker)
            break;
    }
}

template <class Call> Outbox::Outcome Outbox::attempt(Call&& call) {
    try {
        call();
        return Outcome::Done;
    } catch (const CORBA::SystemException& e) {
        return peerGone(e) ? Outcome::Gone : Outcome::Skipped;
    } catch (...) {
        // A collocated servant may throw anything; it concerns this call only.
        return Outcome::Skipped;
    }
}

void Outbox::pace(std::chrono::steady_clock::duration took) {
    // A batch shows progress only when it ends: it must stay well within
    // the stall bound for a slow peer, and grow for a fast or distant one.
    if (took < limits_.maxStall / 40)
        batchLimit_ = std::min(2 * batchLimit_, Pipeline::kBatch);
    else if (took > limits_.maxStall / 10)
        batchLimit_ = std::max<std::size_t>(batchLimit_ / 2, 1);
}

void Outbox::progressed() {
    progress_ = std::chrono::steady_clock::now().time_since_epoch().count();
}

namespace {

PaintCall callOf(const PaintOp& op) {
    return PaintCall{false, op};
}

void paint(TKolvaro::Client_ptr to, const PaintOp& op, const char* owner) {
    kolvaro::paint(to, callOf(op), owner);
}

// The callback a notice makes, over whichever reference carries it.
void notify(TKolvaro::Client_ptr to, const Delivery& d, const char* text) {
    switch (d.kind) {
    case Delivery::Kind::AddNewClient:
        return to->AddNewClient(text);
    case Delivery::Kind::PrintClient:
        return to->PrintClient(text);
    case Delivery::Kind::CloseClient:
        return to->CloseClient(text);
    case Delivery::Kind::Probe:
        if (to->_non_existent())
            throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
        return;
    default:
        return;
    }
}

} // namespace

bool Outbox::deliver(const Delivery& d) {
    TKolvaro::Client_ptr to = target_.in();
    const char* text = d.text ? d.text->c_str() : "";
    Outcome outcome = Outcome::Done;
    switch (d.kind) {
    case Delivery::Kind::Paint:
        outcome = attempt([&] { paint(to, d.op, text); });
        break;
    case Delivery::Kind::Clear:
        outcome = attempt([&] { to->ClearAll(text); });
        break;
    case Delivery::Kind::Replay:
        for (const PaintOp& op : *d.replay) {
            if (closed())
                return true;
            if (attempt([&] { paint(to, op, text); }) == Outcome::Gone)
                return false;
            progressed();
        }
        break;
    case Delivery::Kind::AddNewClient:
    case Delivery::Kind::PrintClient:
    case Delivery::Kind::CloseClient:
    case Delivery::Kind::Probe:
        outcome = attempt([&] { notify(to, d, text); });
        break;
    case Delivery::Kind::Marker:
        break;
    }
    if (outcome != Outcome::Gone && d.kind != Delivery::Kind::Replay)
        progressed();
    return outcome != Outcome::Gone;
}

bool Outbox::sendBatch(std::vector<Part>& batch) {
    const auto began = std::chrono::steady_clock::now();
    struct Pace {
        Outbox& o;
        std::chrono::steady_clock::time_point began;
        ~Pace() { o.pace(std::chrono::steady_clock::now() - began); }
    } pace{*this, began};
    auto turn = pipeline_->turn();
    std::size_t calls = 0;
    for (const auto& part : batch)
        calls += part.d.kind == Delivery::Kind::Replay   ? part.to - part.from
                 : part.d.kind == Delivery::Kind::Marker ? 0
                                                         : 1;
    // The first call proves the connection, the last confirms the batch;
    // notices that answer confirm as they go.
    std::size_t sent = 0;
    auto drawing = [&](const PaintCall& call, const char* owner) {
        const bool twoWay = sent == 0 || sent + 1 == calls;
        ++sent;
        if (closed())
            return Outcome::Skipped;
        return attempt([&] {
            if (!twoWay)
                return pipeline_->post(call, owner);
            kolvaro::paint(pipedPaints_, call, owner);
            pipeline_->confirm();
            progressed();
        });
    };
    auto notice = [&](auto call) {
        ++sent;
        return closed() ? Outcome::Skipped : attempt([&] {
            call();
            pipeline_->confirm();
            progressed();
        });
    };
    for (const auto& part : batch) {
        const Delivery& d = part.d;
        const char* text = d.text ? d.text->c_str() : "";
        Outcome outcome = Outcome::Done;
        switch (d.kind) {
        case Delivery::Kind::Paint:
            outcome = drawing(callOf(d.op), text);
            break;
        case Delivery::Kind::Clear:
            outcome = drawing(PaintCall{true}, text);
            break;
        case Delivery::Kind::Replay:
            for (std::size_t i = part.from; i < part.to && outcome != Outcome::Gone; ++i)
                outcome = drawing(callOf((*d.replay)[i]), text);
            break;
        case Delivery::Kind::AddNewClient:
            // Oneway already: confirmed by the next call that answers.
            ++sent;
            outcome = attempt([&] {
                pipeline_->sentUnconfirmed();
                notify(pipedNotices_, d, text);
            });
            if (outcome == Outcome::Done)
                progressed();
            break;
        case Delivery::Kind::PrintClient:
        case Delivery::Kind::CloseClient:
        case Delivery::Kind::Probe:
            outcome = notice([&] { notify(pipedNotices_, d, text); });
            break;
        case Delivery::Kind::Marker:
            break;
        }
        if (outcome == Outcome::Gone)
            return false;
    }
    return true;
}

} // namespace kolvaro
