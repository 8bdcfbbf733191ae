#include "bobbin/time/internal/rule.h"

#include <gmock/gmock.h>

#include <tuple>

#include "bobbin/time/time64.h"
#include "bobbin/time/time_test_support.h"

namespace {

using bobbin::testing::kSummer;
using bobbin::testing::Text;
using ::testing::HasSubstr;

// tzalloc64 refuses what names no zone, with the reason (the rules it takes are
// compared with the C library by the differential test); an empty value or ':'
// is UTC, as in TZ; a rule longer than a file name is still a rule.
TEST(RuleTest, TzallocTakesZonesAndRefusesWhatIsNone) {
    const struct {
        std::string tz;
        int error;                   // 0: a zone
        std::string converted = "";  // part of its local date
    } kValues[] = {
        {"EST5EDT,M3", EINVAL},                         // an incomplete date
        {"EST5EDT,J0,J365", EINVAL},                    // day 0 of a year without 29 February
        {"EST5EDT,M3.2.0/,M11.1.0", EINVAL},            // no change time after the slash
        {"EST5EDT,M3.2.0/4294967298,M11.1.0", EINVAL},  // 2^32 + 2 hours
        {"EST5EDT,M3.2.0/168,M11.1.0", EINVAL},         // a change time past 167 hours
        {"EST5:60EDT", EINVAL},                         // 60 minutes
        {"EST5EDT,M3.2.0,M11.1.0x", EINVAL},            // something after the rule
        {"EST5EDT,,", EINVAL},                          // two empty dates
        {"right", EINVAL},                              // a directory under the zone directory
        {"/nonexistent/zone", ENOENT},
        {"/proc/self/mem", EIO},
        {"", 0, " 0 UTC"},
        {":", 0, " 0 UTC"},
        {std::string(300, 'A') + "5", 0, " -18000 AAAAAAAA"},
    };
    for (const auto& v : kValues) {
        errno = 0;
        Zone64* zone = tzalloc64(v.tz.c_str());
        TM64 date{};
        EXPECT_EQ(zone != nullptr, v.error == 0) << "'" << v.tz << "'";
        EXPECT_EQ(zone ? 0 : errno, v.error) << "'" << v.tz << "'";
        const bool converted = zone && localtime64_rz(zone, &kSummer, &date);
        EXPECT_THAT(converted ? Text(date) : "", HasSubstr(v.converted)) << v.tz;
        tzfree64(zone);  // of null does nothing
    }
}

// Daylight-saving time without dates changes where posixrules (New York's) does,
// moved as the C library moves it (the seconds are its own): to daylight-saving
// time by the difference of the standard offsets, back by the daylight offset.
TEST(RuleTest, DaylightTimeWithoutDatesFollowsPosixrules) {
    const std::tuple<const char*, Time64, const char*, const char*> kChanges[] = {
        {"AAA3BBB", 1772960400, "AAA", "BBB"},  // 2026-03-08 09:00 UTC
        {"AAA3BBB", 1793505600, "BBB", "AAA"},  // 2026-11-01 04:00 UTC
        {"XST5XDT,", 1793498400, "XDT", "XST"},
    };
    for (const auto& [rule, at, before, after] : kChanges) {  // the names before and at a change
        Zone64* zone = tzalloc64(rule);
        ASSERT_NE(zone, nullptr) << rule;
        TM64 date{};
        const Time64 earlier = at - 1;
        ASSERT_NE(localtime64_rz(zone, &earlier, &date), nullptr);
        EXPECT_STREQ(date.tm_zone, before) << rule << " before " << at;
        ASSERT_NE(localtime64_rz(zone, &at, &date), nullptr);
        EXPECT_STREQ(date.tm_zone, after) << rule << " at " << at;
        tzfree64(zone);
    }
}

}  // namespace
