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

Outbox::Outbox(TKolvaro::Client_ptr target, Limits limits, std::function<void()> onGone)
    : target_(TKolvaro::Client::_duplicate(target)), limits_(limits), onGone_(std::move(onGone)) {
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

Outbox::Pushed Outbox::push(Delivery d, bool wake, bool bounded) {
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
    if (queue_.size() > limits_.maxEntries)
        return bounded ? Pushed::Behind : Pushed::Full;
    return Pushed::Ok;
}

void Outbox::waitForRoom() {
    std::unique_lock lock(mutex_);
    ++roomWaiters_;
    roomy_.wait(lock, [&] { return closed_ || queue_.size() < limits_.maxEntries; });
    --roomWaiters_;
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
    for (;;) {
        Delivery d;
        {
            std::unique_lock lock(mutex_);
            busy_ = false;
            asleep_ = queue_.empty() && !closed_;
            ready_.wait(lock, [&] { return closed_ || !queue_.empty(); });
            asleep_ = false;
            if (closed_)
                break;
            d = std::move(queue_.front());
            queue_.pop_front();
            busy_ = true;
            if (roomWaiters_ && queue_.size() < limits_.maxEntries)
                roomy_.notify_all();
        }
        if (!deliver(d)) {
            onGone_();
            close();
            break;
        }
    }
    finished_ = true;
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

void Outbox::progressed() {
    progress_ = std::chrono::steady_clock::now().time_since_epoch().count();
}

namespace {

void paint(TKolvaro::Client_ptr to, const PaintOp& op, const char* owner) {
    switch (op.kind) {
    case PaintKind::Point:
        to->PaintPoint(op.x1, op.y1, owner);
        break;
    case PaintKind::Line:
        to->PaintLine(op.x1, op.y1, op.x2, op.y2, owner);
        break;
    case PaintKind::Rect:
        to->PaintRect(op.x1, op.y1, op.x2, op.y2, owner);
        break;
    case PaintKind::Circ:
        to->PaintCirc(op.x1, op.y1, op.x2, op.y2, owner);
        break;
    case PaintKind::Fill:
        to->PaintFill(op.x1, op.y1, owner);
        break;
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
        outcome = attempt([&] { to->AddNewClient(text); });
        break;
    case Delivery::Kind::PrintClient:
        outcome = attempt([&] { to->PrintClient(text); });
        break;
    case Delivery::Kind::CloseClient:
        outcome = attempt([&] { to->CloseClient(text); });
        break;
    case Delivery::Kind::Probe:
        outcome = attempt([&] {
            if (to->_non_existent())
                throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
        });
        break;
    case Delivery::Kind::Marker:
        break;
    }
    if (outcome != Outcome::Gone && d.kind != Delivery::Kind::Replay)
        progressed();
    if (d.done)
        d.done->finish(true);
    return outcome != Outcome::Gone;
}

} // namespace kolvaro
