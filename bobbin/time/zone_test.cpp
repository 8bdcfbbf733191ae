#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>

#include "bobbin/time/time64.h"

namespace {

// TZ as it stood before other code switched it to UTC around a mktime (the
// common stand-in for timegm) and put it back without tzset.
TEST(ZoneTest, LocalTimeFollowsTzWhateverOtherCodeDidToTheCLibrary) {
    setenv("TZ", "America/New_York", 1);
    const Time64 summer = 1782302400;  // 2026-06-24 12:00:00 UTC
    TM64 ours{};
    ASSERT_NE(localtime64_r(&summer, &ours), nullptr);
    setenv("TZ", "UTC0", 1);
    TM64 utc{0, 0, 12, 24, 5, 126, 0, 0, 0, 0, nullptr};
    mktime(&utc);
    setenv("TZ", "America/New_York", 1);
    ASSERT_NE(localtime64_r(&summer, &ours), nullptr);
    EXPECT_EQ(ours.tm_hour, 8);
    EXPECT_EQ(ours.tm_gmtoff, -4 * 3600);
    EXPECT_STREQ(ours.tm_zone, "EDT");
}

}  // namespace
