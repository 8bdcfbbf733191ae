#include <random>

#include "bobbin/time/internal/range.h"
#include "bobbin/time/time64.h"
#include "bobbin/time/time_test_support.h"

namespace {

using bobbin::detail::kFirstTime;
using bobbin::detail::kLastTime;
using bobbin::testing::Date;
using bobbin::testing::kSummer;
using bobbin::testing::Text;

// tm_year past the ends: the low 32 bits of the year of the time whole
// 400-year cycles nearer, moved back by 400 years a cycle.
int FarTmYear(Time64 time) {
    constexpr Time64 kCycle = 12622780800;  // seconds in 400 Gregorian years
    const Time64 near = time % kCycle;
    TM64 date{};
    gmtime64_r(&near, &date);
    return static_cast<int>(static_cast<std::uint32_t>(date.tm_year + 400 * (time / kCycle)));
}

// Both ends, random times and every day of 400 years against gmtime_r and
// timegm; past the ends only tm_isdst and tm_year are written. A date's text.
TEST(Time64DifferentialTest, UtcAgreesWithTheCLibrary) {
    std::mt19937_64 engine(20380119);
    std::vector<Time64> times = {kFirstTime, kFirstTime - 1, kLastTime, kLastTime + 1};
    for (Time64 day = -62091; day < 146097 - 62091; ++day) times.push_back(day * 86400 + day % 7);
    for (int i = 0; i < 300000; ++i) times.push_back(Time64(engine()) >> engine() % 64);
    int disagreements = 0;
    for (const Time64 time : times) {
        TM64 ours{0, 0, 0, 5, 5, 5, 0, 0, 1, 0, "GMT"};  // tm_zone is not written, tm_isdst is
        TM64 theirs{};
        errno = 0;
        const bool ok = gmtime64_r(&time, &ours) != nullptr;
        const bool refused = !ok && errno == EOVERFLOW && ours.tm_isdst == 0 && ours.tm_mday == 5 &&
                             ours.tm_year == FarTmYear(time);
        const bool agree = gmtime_r(&time, &theirs)
                               ? ok && Text(ours) == Text(theirs) && timegm64(&ours) == time
                               : refused;
        if (!agree && ++disagreements < 5) ADD_FAILURE() << time << ": " << Text(ours);
    }
    EXPECT_EQ(disagreements, 0);
    char text[35];
    EXPECT_STREQ(asctime64_r(gmtime64(&times[0]), text), "Thu Jan 01 00:00:00 -2147481748\n");
    EXPECT_STREQ(asctime64(gmtime64(&times[2])), "Wed Dec 31 23:59:59 2147485547\n");
}

// cmp_date decides by the first field that differs, from the year down to the
// second; date_in_safe_range holds both ends. Each row: the later date's field
// one above the earlier's, the fields before it lower.
TEST(CalendarTest, DatesCompareByTheirFirstDifferentField) {
    const TM64 early = Date(9, 8, 7, 6, 5, 4);
    const TM64 kLater[] = {Date(10, 0, 0),   Date(9, 9, 0),       Date(9, 8, 8),
                           Date(9, 8, 7, 7), Date(9, 8, 7, 6, 6), Date(9, 8, 7, 6, 5, 5)};
    for (int field = 0; field < 6; ++field) {
        const TM64& late = kLater[field];
        EXPECT_EQ(cmp_date(&early, &late), -1) << "field " << field;
        EXPECT_EQ(cmp_date(&late, &early), 1) << "field " << field;
        EXPECT_EQ(cmp_date(&late, &late), 0) << "field " << field;
        EXPECT_EQ(date_in_safe_range(&early, &early, &late), 1) << "the first date is in range";
        EXPECT_EQ(date_in_safe_range(&late, &early, &late), 1) << "the last date is in range";
        EXPECT_EQ(date_in_safe_range(&late, &early, &early), 0) << "field " << field;
    }
    TM64 copy{};
    copy_tm_to_TM64(&kLater[0], &copy);
    struct tm back {};
    copy_TM64_to_tm(&copy, &back);
    EXPECT_EQ(Text(back), Text(kLater[0]));
    copy_tm_to_TM64(nullptr, &copy);
    EXPECT_EQ(Text(copy), Text(TM64{}));
    const time_t now = kSummer;
    ASSERT_NE(fake_gmtime_r(&now, &back), nullptr);
    EXPECT_EQ(back.tm_hour, 12);
    EXPECT_EQ(valid_tm_wday(&kLater[0]), 1);
    EXPECT_EQ(valid_tm_mon(&kLater[0]), 1);
}

}  // namespace
