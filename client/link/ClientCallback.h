#pragma once

#include "Shapes.h"
#include "surface/ClientEvents.h"

#include "TKolvaro.hh"

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace kolvaro {

// The object through which the server reaches this client. Its operations run
// on ORB threads; they never touch a widget and never wait for the window
// thread, except PrintTxt, which returns once the reader has closed the message.
class ClientCallback : public POA_TKolvaro::Client, public CallbackServant {
public:
    explicit ClientCallback(ClientEvents& events);

    // After this, callbacks are accepted and dropped; for when the window goes.
    void detach() override;
    void release() override { _remove_ref(); }

    // The names the server reported, in the order reported.
    void addName(const std::string& name) override;
    // "Error" past the end.
    std::string nameAt(std::size_t index) const;
    void removeName(const std::string& name) override;
    void freeNames() override;
    std::size_t nameCount() const;

    // How often the server has asked whether this object exists. It asks the
    // holder of a name at each Login under that name, so a refused Login that
    // raised this count was refused because this client holds the name.
    unsigned long Probes() const { return probes_.load(); }
    CORBA::Boolean _non_existent() override;

    // A session the server began for this object: it lists every user to
    // the newcomer, the newcomer last. A server that kept the area of a
    // returning owner clears it just before the list and replays it after.
    struct Listing {
        unsigned long serial = 0; // sessions begun so far
        int count = 0;            // users listed, the newcomer included
        bool keptArea = false;
    };
    // The name whose sessions are counted: the one being logged in.
    void listFor(const std::string& name);
    Listing listed() const;

    void AddNewClient(const char* name) override;
    void PrintClient(const char* name) override;
    void PrintTxt(const char* text, const char* sender) override;
    void CloseClient(const char* name) override;
    void PaintRect(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                   const char* owner) override;
    void PaintLine(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                   const char* owner) override;
    void PaintCirc(CORBA::Short x1, CORBA::Short y1, CORBA::Short x2, CORBA::Short y2,
                   const char* owner) override;
    void PaintPoint(CORBA::Short x, CORBA::Short y, const char* owner) override;
    void PaintFill(CORBA::Short x, CORBA::Short y, const char* owner) override;
    void ClearAll(const char* owner) override;

private:
    template <typename Call> void tell(Call call);
    // Every callback but PrintClient breaks a list in the making.
    void noteCallback(const char* clearedArea = nullptr);
    void relay(kolvaro::PaintKind kind, int x1, int y1, int x2, int y2, const char* owner);

    // Held only while handing an event over, never while waiting for a person.
    std::mutex eventsMutex_;
    ClientEvents* events_;

    // PrintClient arrives while the window thread waits in Login.
    mutable std::mutex namesMutex_;
    std::vector<std::string> knownNames_;
    std::string listFor_;
    Listing listing_;
    int listedSoFar_ = 0;
    bool ownAreaCleared_ = false; // by the callback just before

    std::atomic<unsigned long> probes_{0};
};

} // namespace kolvaro
