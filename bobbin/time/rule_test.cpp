#include "bobbin/time/internal/rule.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "bobbin/time/time64.h"

namespace {

// What is no rule string is refused with EINVAL; a rule longer than a file
// name is still one. (Each form that is a rule is compared with the C library
// by the differential test.)
TEST(RuleTest, TzallocRefusesWhatIsNoRule) {
    const char* const kRefused[] = {
        "EST5EDT,M3",                          // an incomplete date
        "EST5EDT,J0,J365",                     // day 0 of a year without 29 February
        "EST5EDT,M3.2.0/,M11.1.0",             // no change time after the slash
        "EST5EDT,M3.2.0/4294967298,M11.1.0",   // 2^32 + 2 hours
        "EST5EDT,M3.2.0,M11.1.0x",             // something after the rule
        "EST5EDT,,",                           // two empty dates
    };
    for (const char* rule : kRefused) {
        errno = 0;
        EXPECT_EQ(tzalloc64(rule), nullptr) << rule;
        EXPECT_EQ(errno, EINVAL) << rule;
    }
    const std::string long_rule = std::string(300, 'A') + "5";
    Zone64* zone = tzalloc64(long_rule.c_str());
    EXPECT_NE(zone, nullptr) << "a rule longer than a file name";
    tzfree64(zone);
}

// Daylight-saving time without dates changes where posixrules (New York's)
// does, moved as the C library moves it: to daylight-saving time by the
// difference of the standard offsets, back by the daylight-saving offset.
// The seconds are the C library's, read in a process of their own.
TEST(RuleTest, DaylightTimeWithoutDatesFollowsPosixrules) {
    struct Change {
        const char* rule;
        Time64 at;
        const char* before;
        const char* after;
    };
    const Change kChanges[] = {
        {"AAA3BBB", 1772960400, "AAA", "BBB"},  // 2026-03-08 09:00 UTC
        {"AAA3BBB", 1793505600, "BBB", "AAA"},  // 2026-11-01 04:00 UTC
        {"XST5XDT,", 1793498400, "XDT", "XST"},
    };
    for (const Change& c : kChanges) {
        Zone64* zone = tzalloc64(c.rule);
        ASSERT_NE(zone, nullptr) << c.rule;
        TM64 date{};
        const Time64 before = c.at - 1;
        ASSERT_NE(localtime64_rz(zone, &before, &date), nullptr);
        EXPECT_STREQ(date.tm_zone, c.before) << c.rule << " before " << c.at;
        ASSERT_NE(localtime64_rz(zone, &c.at, &date), nullptr);
        EXPECT_STREQ(date.tm_zone, c.after) << c.rule << " at " << c.at;
        tzfree64(zone);
    }
}

}  // namespace
