#include "bobbin/time/internal/zone.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "bobbin/time/internal/range.h"
#include "bobbin/time/time64.h"
#include "bobbin/time/time_test_support.h"

namespace {

using bobbin::detail::kFirstTime;
using bobbin::detail::kLastTime;
using bobbin::testing::Text;

// mktime64 of wall-clock times in gaps and overlaps, each tm_isdst, as mktime.
// A time in a gap with tm_isdst -1 is read with the offset before the gap
// (mktime's answer there depends on its earlier calls).
TEST(ZoneTest, MktimeResolvesGapsAndOverlapsAsTheCLibrary) {
    struct Case {
        const char* tz;
        int year, month, day, hour, minute;
    };
    const Case kCases[] = {
        {"Europe/Dublin", 125, 2, 30, 1, 30},            // negative daylight saving: gap
        {"Europe/Dublin", 125, 9, 26, 1, 30},            // and overlap
        {"Africa/Casablanca", 125, 3, 6, 2, 30},         //
        {"America/New_York", 125, 2, 9, 2, 30},          //
        {"right/America/New_York", 125, 2, 9, 2, 30},    // with leap seconds
        {"right/America/New_York", 125, 10, 2, 1, 30},   //
        {"Australia/Sydney", 125, 9, 5, 2, 30},          //
        {"EST5EDT,J1,J365", 125, 0, 1, 2, 30},           // changes a day apart
        {"EST5EDT,J1,J365", 125, 11, 31, 1, 30},         //
        {"EST5EDT6,M3.2.0,M11.1.0", 125, 2, 9, 1, 30},   // daylight saving behind
        {"EST5EDT6,M3.2.0,M11.1.0", 125, 10, 2, 2, 30},  //
    };
    for (const Case& c : kCases) {
        setenv("TZ", c.tz, 1);
        tzset();
        for (int isdst = -1; isdst <= 1; ++isdst) {
            TM64 ours{};
            ours.tm_year = c.year;
            ours.tm_mon = c.month;
            ours.tm_mday = c.day;
            ours.tm_hour = c.hour;
            ours.tm_min = c.minute;
            ours.tm_isdst = isdst;
            const TM64 ours_given = ours;
            struct tm theirs = ours;
            const Time64 time = mktime64(&ours);
            time_t their_time = mktime(&theirs);
            const bool in_gap = theirs.tm_hour != c.hour || theirs.tm_min != c.minute;
            if (isdst < 0 && in_gap) {  // mktime with the tm_isdst before the gap
                const time_t earlier = their_time - 3 * 3600;
                struct tm before {};
                localtime_r(&earlier, &before);
                theirs = ours_given;
                theirs.tm_isdst = before.tm_isdst;
                their_time = mktime(&theirs);
            }
            EXPECT_EQ(time, their_time) << c.tz << " " << c.hour << ":" << c.minute << " " << isdst;
            EXPECT_EQ(Text(ours), Text(theirs)) << c.tz << " " << isdst;
        }
    }
}

// One instant in a zone as TZ naming it converts, while TZ names another;
// times whose local year tm_year cannot hold are refused with EOVERFLOW.
TEST(ZoneTest, TzallocZonesConvertAsTzWould) {
    const char* const kNames[] = {"America/New_York", ":Europe/London",
                                  "/usr/share/zoneinfo/Asia/Tokyo", "UTC0", "<+0530>-5:30"};
    const Time64 instant = 1782302400;
    TM64 ours, theirs;
    for (const char* name : kNames) {
        Zone64* zone = tzalloc64(name);
        ASSERT_NE(zone, nullptr) << name;
        setenv("TZ", "Australia/Lord_Howe", 1);
        ASSERT_NE(localtime64_rz(zone, &instant, &ours), nullptr) << name;
        setenv("TZ", name, 1);
        ASSERT_NE(localtime64_r(&instant, &theirs), nullptr) << name;
        EXPECT_EQ(Text(ours), Text(theirs)) << name;
        setenv("TZ", "UTC0", 1);
        for (const Time64 beyond : {kFirstTime - 2 * 86400, kLastTime + 2 * 86400}) {
            errno = 0;
            EXPECT_EQ(localtime64_rz(zone, &beyond, &theirs), nullptr) << name << " " << beyond;
            EXPECT_EQ(errno, EOVERFLOW) << name << " " << beyond;
        }
        TM64 date = ours;
        date.tm_isdst = -1;
        EXPECT_EQ(mktime64_z(zone, &date), instant) << name;
        EXPECT_EQ(Text(date), Text(ours)) << name;
        tzfree64(zone);
    }
}

// Threads reading one new TZ value at once share one zone; many threads use
// one tzalloc64 zone at once.
TEST(ZoneTest, ThreadsShareZones) {
    setenv("TZ", "Europe/Paris", 1);
    Zone64* zone = tzalloc64("Asia/Kolkata");
    ASSERT_NE(zone, nullptr);
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, zone, &failures] {
            for (Time64 time = 1700000000 + t; time < 1700000000 + 4000 * 3600; time += 3600) {
                TM64 paris, kolkata;
                if (!localtime64_r(&time, &paris) || !localtime64_rz(zone, &time, &kolkata) ||
                    std::strcmp(kolkata.tm_zone, "IST") != 0 || kolkata.tm_gmtoff != 19800 ||
                    (paris.tm_gmtoff != 3600 && paris.tm_gmtoff != 7200)) {
                    ++failures[t];
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (const int failed : failures) EXPECT_EQ(failed, 0);
    tzfree64(zone);
}

}  // namespace
