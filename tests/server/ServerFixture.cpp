#include "ServerFixture.h"

#include "OrbInit.h"

#include <thread>
#include <unistd.h>

namespace kolvaro::test {
namespace {

PortableServer::POA_ptr rootPoa() {
    static PortableServer::POA_var poa = [] {
        CORBA::Object_var obj = testOrb()->resolve_initial_references("RootPOA");
        PortableServer::POA_var root = PortableServer::POA::_narrow(obj);
        PortableServer::POAManager_var manager = root->the_POAManager();
        manager->activate();
        return root;
    }();
    return poa.in();
}

} // namespace

CORBA::ORB_ptr testOrb() {
    static CORBA::ORB_var orb = [] {
        // Loopback only, on a port the system picks.
        static char arg0[] = "server_tests", arg1[] = "-ORBendPoint",
                    arg2[] = "giop:tcp:127.0.0.1:";
        static char* argv[] = {arg0, arg1, arg2, nullptr};
        int argc = 3;
        return kolvaro::initOrb(argc, argv, false);
    }();
    return orb.in();
}

std::vector<std::string> Peer::drawingOn(const std::string& owner) const {
    std::vector<std::string> out;
    const std::string suffix = ' ' + owner;
    for (const auto& e : servant->events())
        if (e.rfind("Paint", 0) == 0 || e.rfind("ClearAll", 0) == 0)
            if (e.size() >= suffix.size() &&
                e.compare(e.size() - suffix.size(), suffix.size(), suffix) == 0)
                out.push_back(e);
    return out;
}

void ServerTest::start(kolvaro::ServerOptions options) {
    stop();
    if (!console_)
        console_ = std::tmpfile();
    options.log = console_;
    impl = new ServerImpl(options);
    serverId_ = rootPoa()->activate_object(impl);
    impl->_remove_ref(); // the POA holds the servant from here on
    CORBA::Object_var obj = rootPoa()->id_to_reference(serverId_);
    server = TKolvaro::Server::_narrow(obj);
    impl->refuseAsCallback(server);
}

void ServerTest::stop() {
    if (!impl)
        return;
    impl->shutdown();
    rootPoa()->deactivate_object(serverId_);
    impl = nullptr;
    server = TKolvaro::Server::_nil();
}

void ServerTest::TearDown() {
    gate.open();
    stop();
    for (auto& [key, p] : peers_)
        kill(*p);
    peers_.clear();
    if (console_)
        std::fclose(console_);
    console_ = nullptr;
}

Peer& ServerTest::peer(const std::string& key) {
    auto& slot = peers_[key];
    if (!slot) {
        slot = std::make_unique<Peer>();
        slot->servant = new RecordingClient;
        slot->id = rootPoa()->activate_object(slot->servant.in());
        CORBA::Object_var obj = rootPoa()->id_to_reference(slot->id);
        slot->ref = TKolvaro::Client::_narrow(obj);
        slot->active = true;
    }
    return *slot;
}

void ServerTest::kill(Peer& p) {
    if (!p.active)
        return;
    p.active = false;
    rootPoa()->deactivate_object(p.id);
}

Peer& ServerTest::login(const std::string& name) {
    Peer& p = peer(name);
    EXPECT_GT(server->Login(name.c_str(), p.ref), 0) << name;
    return p;
}

std::vector<std::string> ServerTest::consoleLines() const {
    std::string text;
    char buf[4096];
    off_t at = 0;
    for (ssize_t n; (n = pread(fileno(console_), buf, sizeof buf, at)) > 0; at += n)
        text.append(buf, static_cast<std::size_t>(n));
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1)
        lines.push_back(text.substr(from, nl - from + 1));
    if (from < text.size())
        lines.push_back(text.substr(from)); // an unfinished line shows up as such
    return lines;
}

bool ServerTest::waitForConsole(const std::string& line) const {
    const auto until = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < until) {
        for (const auto& l : consoleLines())
            if (l == line)
                return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

void Gate::open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    opened_.notify_all();
}

void Gate::pass() {
    std::unique_lock lock(mutex_);
    opened_.wait_for(lock, kWait, [&] { return open_; });
}

} // namespace kolvaro::test
