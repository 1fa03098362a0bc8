#include "OrbInit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

bool detect(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    return kolvaro::hasEndpointOption(static_cast<int>(argv.size()), argv.data());
}

TEST(OrbInit, FindsEveryEndpointSpelling) {
    EXPECT_TRUE(detect({"prog", "-ORBendPoint", "giop:tcp::9999"}));
    EXPECT_TRUE(detect({"prog", "-ORBendpoint", "giop:tcp::9999"}));
    EXPECT_TRUE(detect({"prog", "-ORBendPointPublish", "giop:tcp:host:1"}));
    EXPECT_TRUE(detect({"prog", "-x", "-ORBendPointNoListen", "giop:tcp::1"}));
}

TEST(OrbInit, IgnoresOtherOptionsAndTheProgramName) {
    EXPECT_FALSE(detect({"-ORBendPoint"}));
    EXPECT_FALSE(detect({"prog", "-ORBInitRef", "ServerObject=corbaloc::h/ServerObject"}));
    EXPECT_FALSE(detect({"prog", "endPoint", "-ORBtraceLevel", "0"}));
}

} // namespace
