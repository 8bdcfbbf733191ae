#include "bobbin/time/internal/zone.h"

#include <utility>

#include "bobbin/time/time64.h"
#include "bobbin/time/time_test_support.h"

namespace {

using bobbin::testing::Date;
using bobbin::testing::Text;

// mktime64 of wall-clock times in gaps and overlaps, each tm_isdst, as mktime.
// A time in a gap with tm_isdst -1 is read with the offset before the gap
// (mktime's answer there depends on its earlier calls).
TEST(ZoneTest, MktimeResolvesGapsAndOverlapsAsTheCLibrary) {
    const std::pair<const char*, TM64> kCases[] = {
        {"Europe/Dublin", Date(125, 2, 30, 1, 30)},  // negative daylight saving: gap
        {"Europe/Dublin", Date(125, 9, 26, 1, 30)},  // and overlap
        {"Africa/Casablanca", Date(125, 3, 6, 2, 30)},
        {"America/New_York", Date(125, 2, 9, 2, 30)},
        {"right/America/New_York", Date(125, 2, 9, 2, 30)},  // with leap seconds
        {"right/America/New_York", Date(125, 10, 2, 1, 30)},
        {"Australia/Sydney", Date(125, 9, 5, 2, 30)},
        {"EST5EDT,J1,J365", Date(125, 0, 1, 2, 30)},  // changes a day apart
        {"EST5EDT,J1,J365", Date(125, 11, 31, 1, 30)},
        {"EST5EDT6,M3.2.0,M11.1.0", Date(125, 2, 9, 1, 30)},  // daylight saving behind
        {"EST5EDT6,M3.2.0,M11.1.0", Date(125, 10, 2, 2, 30)},
    };
    for (const auto& [tz, date] : kCases) {
        setenv("TZ", tz, 1);
        tzset();
        for (int isdst = -1; isdst <= 1; ++isdst) {
            TM64 ours = date;
            ours.tm_isdst = isdst;
            struct tm theirs = ours;
            const Time64 time = mktime64(&ours);
            time_t their_time = mktime(&theirs);
            const bool in_gap = theirs.tm_hour != date.tm_hour || theirs.tm_min != date.tm_min;
            if (isdst < 0 && in_gap) {  // mktime with the tm_isdst before the gap
                const time_t earlier = their_time - 3 * 3600;
                struct tm before {};
                localtime_r(&earlier, &before);
                theirs = date;
                theirs.tm_isdst = before.tm_isdst;
                their_time = mktime(&theirs);
            }
            EXPECT_EQ(time, their_time) << tz << " " << Text(date) << " " << isdst;
            EXPECT_EQ(Text(ours), Text(theirs)) << tz << " " << Text(date) << " " << isdst;
        }
    }
}

// A ZoneHandle frees its zone once, wherever it was moved; Release hands it
// over (ASan reports a leak or a double free otherwise).
TEST(ZoneTest, AZoneHandleFreesItsZoneOnce) {
    ZoneHandle first = ZoneHandle::Alloc("Asia/Tokyo");
    ASSERT_TRUE(first);
    const Zone64* tokyo = first.Get();
    ZoneHandle second(std::move(first));
    EXPECT_FALSE(first) << "a moved-from handle holds no zone";
    EXPECT_EQ(second.Get(), tokyo);
    second = ZoneHandle::Alloc("UTC0");  // frees Tokyo's zone
    ZoneHandle third = std::move(second);
    Zone64* released = third.Release();
    EXPECT_FALSE(third) << "a released handle holds no zone";
    tzfree64(released);
    errno = 0;
    EXPECT_FALSE(ZoneHandle::Alloc("Nowhere/Zone")) << "a refused zone";
    EXPECT_EQ(errno, EINVAL);
}

}  // namespace
