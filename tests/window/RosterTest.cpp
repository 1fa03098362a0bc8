// Who is logged in and what the own area owes the server, without windows.
#include "surface/SessionRoster.h"

#include <gtest/gtest.h>

using namespace kolvaro;

TEST(Roster, CountsNewcomersAndOwesTheOwnAreaOnlyToASessionThatDidNotKeepIt) {
    SessionRoster r;
    r.loginAnswered("A", -1); // taken: no name yet, and a begun session is not ours
    EXPECT_TRUE(r.ownName().empty());
    EXPECT_FALSE(r.sessionBegan(false));
    r.loginAnswered("A", 1);
    EXPECT_FALSE(r.canSend()); // alone
    // Accepted before Enter: counted at once, opened at Enter unless gone.
    EXPECT_FALSE(r.accept("E"));
    EXPECT_FALSE(r.accept("F"));
    r.left("F");
    EXPECT_TRUE(r.canSend());
    EXPECT_EQ(r.startWork(), std::vector<std::string>{"E"});
    EXPECT_TRUE(r.startWork().empty());
    EXPECT_TRUE(r.accept("G")); // opens now; counted when shown
    EXPECT_EQ(r.allCount(), 2);
    r.counted(), r.counted();
    EXPECT_EQ(r.allCount(), 4);
    // A session that kept the own area is owed nothing; one that did not is
    // owed the area once, whichever of the two sets it aside.
    EXPECT_FALSE(r.sessionBegan(true));
    EXPECT_FALSE(r.restore(3));
    EXPECT_EQ(r.allCount(), 3);
    EXPECT_TRUE(r.restore(3));
    const std::vector<PaintRecord> area{PaintRecord::of(PaintKind::Fill, 1, 2, 3, 4)};
    r.setAside(area);
    EXPECT_EQ(r.takeSetAside(), area);
    EXPECT_TRUE(r.takeSetAside().empty());
    EXPECT_TRUE(r.sessionBegan(false));
    r.setAside(area), r.areasClosed();
    EXPECT_TRUE(r.takeSetAside().empty());
    EXPECT_TRUE(r.restore(2)); // closing the areas ended the begun session
    r.forgetOwnName();
    EXPECT_FALSE(r.sessionBegan(false));
}
