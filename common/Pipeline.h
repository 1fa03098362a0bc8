#pragma once

#include "Shapes.h"
#include "TKolvaro.hh"

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>

namespace kolvaro {

// A process whose ORB runs each connection's requests one after another, in
// arrival order, says so in every object reference it makes: a tagged
// component of our own, which other ORBs ignore. Such a peer may be sent
// calls without results and without waiting for each reply; a two-way call
// sent after them on the same connection returns only once all have run.
//
// Call once, right after ORB_init and before any reference is made. Says
// nothing when the ORB was told to run a connection's requests concurrently.
void declareInOrderDispatch();

// Whether the process behind ref declared in-order dispatch.
bool declaresInOrderDispatch(CORBA::Object_ptr ref);

// The reference to call in order for ref: ref itself when it declares
// in-order dispatch, or the declaring reference it forwards to (a corbaloc
// key carries no components); nil when there is none. A remote call.
CORBA::Object_ptr declaredTarget(CORBA::ORB_ptr orb, CORBA::Object_ptr ref,
                                 CORBA::ULong callTimeoutMs);

// One drawing call or callback, as it goes on the wire.
struct PaintCall {
    bool clear = false; // ClearAll(owner); otherwise the drawing of `shape`
    BasicPaintRecord<CORBA::Short> shape{};
};

// Waits for the reply, as the generated stub does. The one place that says
// which operation carries which kind.
void paint(TKolvaro::Kolvaro_ptr to, const PaintCall& call, const char* owner);

// Calls in order to one object that declared in-order dispatch, over
// connections that nothing else in this process uses: omniORB takes the
// first idle connection to an address for each call, so a reply-less call
// and the two-way call behind it reach the same connection only if no other
// caller takes or frees one in between. Objects in one peer process share
// those connections; their callers take turns (turn()).
//
// A batch starts with a two-way call (it proves the connection alive, and
// may be retried on a fresh one), sends the rest without replies and ends
// with a two-way call, whose return confirms the whole batch. While a batch
// is unconfirmed, a broken connection is not retried: what it carried is
// unknown, and the caller must treat the peer as gone.
class Pipeline {
public:
    Pipeline(CORBA::ORB_ptr orb, CORBA::Object_ptr target, CORBA::ULong callTimeoutMs);
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    // A typed reference over the pipeline's connections, with its timeout
    // and failure handling.
    template <class T> typename T::_ptr_type as() {
        typename T::_ptr_type ref = T::_unchecked_narrow(channel_);
        configure(ref);
        return ref;
    }

    // Held across a batch.
    std::unique_lock<std::mutex> turn() { return std::unique_lock(*turn_); }

    // Sends a call without waiting: unconfirmed until confirm().
    void post(const PaintCall& call, const char* owner);
    // A call without reply (an IDL oneway operation) goes out: unconfirmed
    // until the next two-way call returns.
    void sentUnconfirmed() { unconfirmed_ = true; }
    // After a two-way call returned: everything before it has run.
    void confirm() { unconfirmed_ = false; }
    bool unconfirmed() const { return unconfirmed_; }

    // Calls a batch is made of at most.
    static constexpr std::size_t kBatch = 1024;

private:
    void configure(CORBA::Object_ptr ref);
    static CORBA::Boolean retry(void* self, CORBA::ULong retries, const CORBA::COMM_FAILURE&);

    CORBA::Object_var channel_;
    CORBA::ULong timeoutMs_;
    std::shared_ptr<std::mutex> turn_;
    std::atomic<bool> unconfirmed_{false};
};

} // namespace kolvaro
