#include "Session.h"

#include <set>

namespace kolvaro::test {
namespace {

// Three clients draw on one area at once while a fourth opens it midway:
// every display must end up with exactly the sequence that a fresh load of
// the area replays.
TEST(ConcurrentDrawing, EveryViewerReceivesTheStoredOrderExactlyOnce) {
    constexpr int kEach = 300;
    // The drawers' lines and one closing point: any duplicate or reordering
    // shows up before that point arrives.
    constexpr std::size_t kTotal = 3 * kEach + 1;
    auto server = startServer();
    auto a = loggedIn(*server, "A");
    auto b = loggedIn(*server, "B");
    auto c = loggedIn(*server, "C");
    EXPECT_EQ(b->call("load B A"), "RESULT load");
    EXPECT_EQ(c->call("load C A"), "RESULT load");

    // Each drawer tags its lines, so a reordering between drawers shows.
    a->post("burst " + std::to_string(kEach) + " A 1");
    b->post("burst " + std::to_string(kEach) + " A 2");
    c->post("burst " + std::to_string(kEach) + " A 3");
    waitDrawing(*a, "A", kEach / 2);
    auto late = loggedIn(*server, "Late");
    EXPECT_EQ(late->call("load Late A"), "RESULT load");
    for (auto* p : {a.get(), b.get(), c.get()})
        EXPECT_EQ(p->answer(60000ms).rfind("RESULT burst n=300", 0), 0u);
    EXPECT_EQ(a->call("point -7 -7 A"), "RESULT point");

    auto fresh = loggedIn(*server, "Fresh");
    EXPECT_EQ(fresh->call("load Fresh A"), "RESULT load");
    const auto replay = drawingOf(fresh->events(), "A");
    ASSERT_EQ(replay.size(), kTotal);
    EXPECT_EQ(std::set<std::string>(replay.begin(), replay.end()).size(), kTotal);
    EXPECT_EQ(replay.back(), "PaintPoint -7 -7 A");

    EXPECT_EQ(waitDrawing(*a, "A", kTotal), replay);
    EXPECT_EQ(waitDrawing(*b, "A", kTotal), replay);
    EXPECT_EQ(waitDrawing(*c, "A", kTotal), replay);
    EXPECT_EQ(waitDrawing(*late, "A", kTotal), replay);
}

} // namespace
} // namespace kolvaro::test
