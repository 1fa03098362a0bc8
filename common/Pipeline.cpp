#include "Pipeline.h"
#include "CallFailure.h"

#include "OwnProxy.h"

#include <omniORB4/IIOP.h>
#include <omniORB4/internal/orbParameters.h>
#include <omniORB4/omniIOR.h>
#include <omniORB4/omniInterceptors.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kolvaro {

namespace {

// 'K' 'L' in the top bytes: outside the ranges the OMG hands out to vendors.
constexpr IOP::ComponentId kInOrderDispatch = 0x4B4C0001;

CORBA::Boolean addDeclaration(_OMNI_NS(omniInterceptors)::encodeIOR_T::info_T& info) {
    IOP::MultipleComponentProfile& components = info.iiop.components;
    const CORBA::ULong n = components.length();
    for (CORBA::ULong i = 0; i < n; ++i)
        if (components[i].tag == kInOrderDispatch)
            return true;
    components.length(n + 1);
    components[n].tag = kInOrderDispatch;
    cdrEncapsulationStream body;
    body.marshalOctet(1); // version
    body.setOctetSeq(components[n].component_data);
    return true;
}

bool carriesDeclaration(const IIOP::ProfileBody& body) {
    for (CORBA::ULong i = 0; i < body.components.length(); ++i)
        if (body.components[i].tag == kInOrderDispatch)
            return true;
    return false;
}

// The last reference with the declaration that this thread decoded while
// armed: a location forward's target is decoded on the calling thread.
thread_local bool capturing = false;
thread_local std::optional<IOP::IOR> captured;

CORBA::Boolean captureDeclared(_OMNI_NS(omniInterceptors)::decodeIOR_T::info_T& info) {
    if (capturing && info.has_iiop_body && carriesDeclaration(info.iiop)) {
        captured.emplace();
        captured->type_id = info.ior.repositoryID();
        captured->profiles = info.ior.iopProfiles();
    }
    return true;
}

CORBA::Object_ptr fromIor(CORBA::ORB_ptr orb, IOP::IOR& ior) {
    cdrEncapsulationStream s;
    ior >>= s;
    CORBA::Octet* bytes = nullptr;
    CORBA::ULong max = 0, len = 0;
    s.getOctetStream(bytes, max, len);
    std::string text = "IOR:";
    static const char hex[] = "0123456789abcdef";
    for (CORBA::ULong i = 0; i < len; ++i) {
        text += hex[bytes[i] >> 4];
        text += hex[bytes[i] & 15];
    }
    delete[] bytes;
    return orb->string_to_object(text.c_str());
}

// The same object, named so that omniORB keeps a set of connections for it
// alone: it shares connections between references with exactly the same
// addresses, and these list their first address twice.
CORBA::Object_ptr withOwnConnections(CORBA::ORB_ptr orb, CORBA::Object_ptr ref,
                                     std::string& address) {
    omniIOR_var ior = ref->_PR_getobj()->_getIOR();
    IOP::IOR out;
    out.type_id = ior->repositoryID();
    out.profiles = ior->iopProfiles();
    for (CORBA::ULong i = 0; i < out.profiles.length(); ++i) {
        if (out.profiles[i].tag != IOP::TAG_INTERNET_IOP)
            continue;
        IIOP::ProfileBody body;
        IIOP::unmarshalProfile(out.profiles[i], body);
        address = addressOf(body);
        const CORBA::ULong n = body.components.length();
        body.components.length(n + 1);
        body.components[n].tag = IOP::TAG_ALTERNATE_IIOP_ADDRESS;
        cdrEncapsulationStream alternate;
        body.address >>= alternate;
        alternate.setOctetSeq(body.components[n].component_data);
        IIOP::encodeProfile(body, out.profiles[i]);
        break;
    }
    return fromIor(orb, out);
}

// One lock per peer address: the callers whose batches share connections.
std::shared_ptr<std::mutex> turnFor(const std::string& address) {
    static std::mutex mutex;
    static std::map<std::string, std::weak_ptr<std::mutex>> turns;
    std::lock_guard lock(mutex);
    std::erase_if(turns, [](const auto& t) { return t.second.expired(); });
    auto& slot = turns[address];
    auto turn = slot.lock();
    if (!turn) {
        turn = std::make_shared<std::mutex>();
        slot = turn;
    }
    return turn;
}

} // namespace

void declareInOrderDispatch() {
    static std::once_flag once;
    std::call_once(once, [] {
        omniORB::getInterceptors()->decodeIOR.add(captureDeclared);
        if (_OMNI_NS(orbParameters)::maxServerThreadPerConnection == 1)
            omniORB::getInterceptors()->encodeIOR.add(addDeclaration);
    });
}

bool declaresInOrderDispatch(CORBA::Object_ptr ref) {
    try {
        for (const auto& body : iiopProfiles(ref))
            if (carriesDeclaration(body))
                return true;
    } catch (const CORBA::SystemException&) {
    }
    return false;
}

CORBA::Object_ptr declaredTarget(CORBA::ORB_ptr orb, CORBA::Object_ptr ref,
                                 CORBA::ULong callTimeoutMs) {
    if (declaresInOrderDispatch(ref))
        return CORBA::Object::_duplicate(ref);
    // A fresh proxy follows the forward anew, on this thread.
    CORBA::Object_var fresh = ownProxy(orb, ref);
    if (callTimeoutMs)
        omniORB::setClientCallTimeout(fresh, callTimeoutMs);
    captured.reset();
    capturing = true;
    try {
        fresh->_non_existent();
    } catch (...) {
        capturing = false;
        throw;
    }
    capturing = false;
    if (!captured)
        return CORBA::Object::_nil();
    IOP::IOR ior = std::move(*captured);
    captured.reset();
    return fromIor(orb, ior);
}

void paint(TKolvaro::Kolvaro_ptr to, const PaintCall& c, const char* owner) {
    const auto& [x1, y1, x2, y2, kind] = c.shape;
    if (c.clear)
        return to->ClearAll(owner);
    switch (kind) {
    case PaintKind::Point:
        return to->PaintPoint(x1, y1, owner);
    case PaintKind::Line:
        return to->PaintLine(x1, y1, x2, y2, owner);
    case PaintKind::Rect:
        return to->PaintRect(x1, y1, x2, y2, owner);
    case PaintKind::Circ:
        return to->PaintCirc(x1, y1, x2, y2, owner);
    case PaintKind::Fill:
        return to->PaintFill(x1, y1, owner);
    }
}

Pipeline::Pipeline(CORBA::ORB_ptr orb, CORBA::Object_ptr target, CORBA::ULong callTimeoutMs)
    : timeoutMs_(callTimeoutMs) {
    std::string address;
    channel_ = withOwnConnections(orb, target, address);
    turn_ = turnFor(address);
    configure(channel_);
}

void Pipeline::configure(CORBA::Object_ptr ref) {
    if (timeoutMs_)
        omniORB::setClientCallTimeout(ref, timeoutMs_);
    omniORB::installCommFailureExceptionHandler(ref, this, retry);
}

CORBA::Boolean Pipeline::retry(void* self, CORBA::ULong retries, const CORBA::COMM_FAILURE&) {
    // A connection found dead before anything unconfirmed went on it (a
    // peer restarted on the same address) is replaced, as for any call.
    return !static_cast<Pipeline*>(self)->unconfirmed_ && retries < kStaleRetriesToClient;
}

void Pipeline::post(const PaintCall& c, const char* owner) {
    const auto& [x1, y1, x2, y2, kind] = c.shape;
    CORBA::Request_var r = channel_->_request(c.clear ? "ClearAll" : operationName(kind));
    if (!c.clear) {
        r->add_in_arg() <<= x1;
        r->add_in_arg() <<= y1;
        if (hasSecondCorner(kind)) {
            r->add_in_arg() <<= x2;
            r->add_in_arg() <<= y2;
        }
    }
    r->add_in_arg() <<= owner;
    unconfirmed_ = true;
    r->send_oneway();
    if (CORBA::Exception* e = r->env()->exception())
        e->_raise();
}

} // namespace kolvaro
