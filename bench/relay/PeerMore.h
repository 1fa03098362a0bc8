// Benchmark commands of kolvaro-bench-peer, included into the test peer's
// class (tests/support/peer.cpp) so that they reach its ORB and servants:
//   burst N OWNER [TAG [WINDOW [PACE_US]]]  timed; with a window, at most that
//                                           many lines await their echo
//   bare-burst N IOR [PACE_US]              N calls on another peer's object
//   timed-load NAME OWNER | viewers N PREFIX OWNER | wait-viewers N MS
//   wait-count N MS | ior | quiet on|off
//   repeat-load N NAME OWNER                N LoadArea calls: "RESULT repeat-load ok=A refused=R"
// Timed answers: "RESULT <cmd> n=N median_us=M ops_per_s=R total_us=T".

static std::string fixed(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

// Median call time and total time of n calls of f(i), one every paceUs at most.
template <class F> static std::string timed(std::size_t n, std::size_t paceUs, F f) {
    std::vector<double> us;
    const auto begin = Clock::now();
    for (std::size_t i = 0; i < n; ++i) {
        if (paceUs > 0)
            std::this_thread::sleep_until(begin + std::chrono::microseconds(paceUs * i));
        const auto start = Clock::now();
        f(i);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    const std::chrono::duration<double> total = Clock::now() - begin;
    std::nth_element(us.begin(), us.begin() + n / 2, us.end());
    return "n=" + std::to_string(n) + " median_us=" + fixed(n ? us[n / 2] : 0) +
           " ops_per_s=" + fixed(n / total.count()) + " total_us=" + fixed(total.count() * 1e6);
}

static std::size_t opt(const std::string& s) {
    return s.empty() ? 0 : std::stoul(s);
}

std::string dispatchMore(const Words& t, const std::string& line) {
    const std::string& c = t[0];
    if (c == "burst") {
        auto s = server();
        const std::size_t n = std::stoul(t[1]), window = opt(t[4]);
        const std::size_t base = self_->waitCount(0, milliseconds(0));
        return timed(n, opt(t[5]), [&](std::size_t i) {
            s->PaintLine(static_cast<short>(i % 640), static_cast<short>((i / 640) % 480),
                         static_cast<short>(opt(t[3])), static_cast<short>(i), t[2].c_str());
            if (window > 0 && i + 1 > window + (self_->waitCount(0, milliseconds(0)) - base))
                self_->waitCount(base + i + 1 - window / 2, std::chrono::seconds(60));
        });
    } else if (c == "bare-burst") {
        CORBA::Object_var obj = orb_->string_to_object(t[2].c_str());
        TKolvaro::Client_var peer = TKolvaro::Client::_narrow(obj);
        return timed(std::stoul(t[1]), opt(t[3]), [&](std::size_t i) {
            peer->PaintPoint(static_cast<short>(i % 640), static_cast<short>(i % 480), "bare");
        });
    } else if (c == "timed-load") {
        return timed(1, 0, [&](std::size_t) { server()->LoadArea(t[1].c_str(), t[2].c_str()); });
    } else if (c == "viewers") {
        for (std::size_t i = 0, count = std::stoul(t[1]); i < count; ++i) {
            viewers_.push_back(new Recorder(false));
            TKolvaro::Client_var ref = activate(viewers_.back());
            const std::string name = t[2] + std::to_string(viewers_.size() - 1);
            server()->Login(name.c_str(), ref);
            server()->LoadArea(name.c_str(), t[3].c_str());
        }
        return "";
    } else if (c == "wait-viewers" || c == "wait-count") {
        std::size_t least = std::stoul(t[1]);
        for (auto* v : c == "wait-count" ? std::vector<Recorder*>{self_} : viewers_)
            least = std::min(least, v->waitCount(std::stoul(t[1]), milliseconds(std::stoi(t[2]))));
        return "COUNT " + std::to_string(least);
    } else if (c == "repeat-load") {
        std::size_t n = std::stoul(t[1]), refused = 0;
        for (std::size_t i = 0; i < n; ++i) {
            try {
                server()->LoadArea(t[2].c_str(), t[3].c_str());
            } catch (const CORBA::IMP_LIMIT&) {
                ++refused;
            }
        }
        return "ok=" + std::to_string(n - refused) + " refused=" + std::to_string(refused);
    } else if (c == "ior") {
        CORBA::String_var ior = orb_->object_to_string(selfRef_);
        return std::string("IOR ") + ior.in();
    } else if (c == "quiet") {
        quiet = t[1] == "on";
        return "";
    }
    return dispatch(t, line);
}

std::vector<Recorder*> viewers_; // held by the POA
