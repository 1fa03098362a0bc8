#include "OrbInit.h"

#include <cstring>
#include <strings.h>

namespace kolvaro {

bool hasEndpointOption(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (a && strncasecmp(a, "-ORBendPoint", 12) == 0)
            return true;
    }
    return false;
}

CORBA::ORB_ptr initOrb(int& argc, char** argv, bool withDefaultEndpoint) {
    const bool addEndpoint = withDefaultEndpoint && !hasEndpointOption(argc, argv);
    const char* options[][2] = {
        {"nativeCharCodeSet", "UTF-8"},
        {"connectionWatchImmediate", "1"},
        {addEndpoint ? "endPoint" : nullptr, "giop:tcp::2809"},
        {nullptr, nullptr},
    };
    return CORBA::ORB_init(argc, argv, "omniORB4", options);
}

} // namespace kolvaro
