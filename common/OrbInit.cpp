#include "OrbInit.h"

#include "Pipeline.h"

#include <cstring>
#include <strings.h>
#include <iterator>

namespace kolvaro {

bool hasEndpointOption(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (a && strncasecmp(a, "-ORBendPoint", 12) == 0)
            return true;
    }
    return false;
}

CORBA::ORB_ptr initOrb(int& argc, char** argv, bool withDefaultEndpoint,
                       const char* const (*extraDefaults)[2]) {
    const char* options[16][2] = {
        {"nativeCharCodeSet", "UTF-8"},
        {"connectionWatchImmediate", "1"},
        // omniORB would otherwise start a second thread on a connection whose
        // next request arrives while one runs: requests sent without waiting
        // for replies would run out of order.
        {"maxServerThreadPerConnection", "1"},
    };
    std::size_t n = 3;
    if (withDefaultEndpoint && !hasEndpointOption(argc, argv)) {
        options[n][0] = "endPoint";
        options[n++][1] = "giop:tcp::2809";
    }
    for (auto* o = extraDefaults; o && (*o)[0] && n + 1 < std::size(options); ++o, ++n) {
        options[n][0] = (*o)[0];
        options[n][1] = (*o)[1];
    }
    CORBA::ORB_ptr orb = CORBA::ORB_init(argc, argv, "omniORB4", options);
    declareInOrderDispatch();
    return orb;
}

} // namespace kolvaro
