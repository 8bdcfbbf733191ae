#include "bobbin/time/internal/zone.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bobbin/time/internal/range.h"
#include "bobbin/time/time64.h"

namespace {

std::string Text(const TM64& d) {
    char text[160];
    std::snprintf(text, sizeof text, "%d-%d-%d %d:%d:%d %d %d %d %ld %s", d.tm_year, d.tm_mon,
                  d.tm_mday, d.tm_hour, d.tm_min, d.tm_sec, d.tm_wday, d.tm_yday, d.tm_isdst,
                  d.tm_gmtoff, d.tm_zone ? d.tm_zone : "");
    return text;
}

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
    EXPECT_EQ(Text(ours), "126-5-24 8:0:0 3 174 1 -14400 EDT");
}

// Rule strings against the C library from 1970 on: every change of a few
// hundred years (found by the hour, then to the second) and random seconds.
TEST(ZoneTest, RuleStringsAgreeWithTheCLibraryFrom1970) {
    const char* const kRules[] = {
        "EST5EDT,M3.2.0,M11.1.0",            // Mm.w.d at the default time
        "<+0530>-5:30",                      // quoted name, no daylight-saving time
        "AEST-10AEDT,M10.1.0,M4.1.0/3",      // southern: daylight saving across New Year
        "<-03>3<-02>,M3.5.0/-2,M10.5.0/-1",  // negative times, week 5
        "IST-1GMT0,M10.5.0,M3.5.0/1",        // negative daylight saving
        "ABC5DEF4:30,J60/25,J300/-1:30",     // Jn around 29 February, beyond 24 h
        "ABC5DEF,59/0,300/167",              // zero-based n, 167 h
        "ABC-13:45DEF-14:45,M9.5.0/2:45,M4.1.0/3:45",
    };
    std::mt19937_64 engine(1970);
    std::uniform_int_distribution<Time64> pick(0, 4102444800);  // 1970 to 2100
    for (const char* rule : kRules) {
        setenv("TZ", rule, 1);
        tzset();
        std::vector<Time64> times;
        for (int i = 0; i < 2000; ++i) times.push_back(pick(engine));
        struct tm before {};
        time_t hour = 0;
        localtime_r(&hour, &before);
        for (; hour < 2200000000; hour += 3600) {
            struct tm now;
            localtime_r(&hour, &now);
            if (now.tm_gmtoff == before.tm_gmtoff && now.tm_isdst == before.tm_isdst) continue;
            for (Time64 second = hour - 3600; second <= hour; ++second) times.push_back(second);
            before = now;
        }
        int disagreements = 0;
        for (const Time64 time : times) {
            const time_t platform_time = time;
            struct tm theirs;
            TM64 ours;
            localtime_r(&platform_time, &theirs);
            const bool ok = localtime64_r(&time, &ours) != nullptr;
            if ((!ok || Text(ours) != Text(theirs)) && ++disagreements < 4) {
                ADD_FAILURE() << rule << " at " << time << ": " << Text(ours) << " vs "
                              << Text(theirs);
            }
        }
        EXPECT_EQ(disagreements, 0) << rule;
    }
}

// A rule holds in every year: 2,000,000 years before and 2·10^9 after,
// whole 400-year cycles away, a second converts as now.
TEST(ZoneTest, RuleStringHoldsInFarYears) {
    Zone64* zone = tzalloc64("AEST-10AEDT,M10.1.0,M4.1.0/3");
    ASSERT_NE(zone, nullptr);
    const Time64 cycle = 12622780800;
    const Time64 times[] = {1782302400, 1798761600 - 1, 1759593600 + 3600};
    for (const Time64 near : times) {
        const Time64 far = near + 5000000 * cycle, before = near - 5000 * cycle;
        TM64 a, b, c;
        ASSERT_TRUE(localtime64_rz(zone, &near, &a) && localtime64_rz(zone, &far, &b) &&
                    localtime64_rz(zone, &before, &c));
        EXPECT_EQ(b.tm_year - 2000000000, a.tm_year);
        b.tm_year = a.tm_year;
        c.tm_year = a.tm_year;
        EXPECT_EQ(Text(a), Text(b)) << near;
        EXPECT_EQ(Text(a), Text(c)) << near;
    }
    tzfree64(zone);
}

// A daylight-saving time from 1 January 00:00 to 31 December 24:00 plus
// the hour gained lasts all year (RFC 8536), also around New Year.
TEST(ZoneTest, DaylightSavingAllYear) {
    Zone64* zone = tzalloc64("EST5EDT,0/0,J365/25");
    ASSERT_NE(zone, nullptr);
    for (const Time64 time : {Time64{14400}, Time64{18000}, Time64{1798779599}, Time64{1798779600},
                              Time64{1782302400}}) {
        TM64 date;
        ASSERT_NE(localtime64_rz(zone, &time, &date), nullptr);
        EXPECT_EQ(date.tm_gmtoff, -14400) << time;
        EXPECT_STREQ(date.tm_zone, "EDT") << time;
    }
    tzfree64(zone);
}

class TempDirectory {
  public:
    TempDirectory() {
        char name[] = "/tmp/zone_testXXXXXX";
        path_ = mkdtemp(name);
    }
    ~TempDirectory() {
        for (const std::string& file : files_) unlink(file.c_str());
        rmdir(path_.c_str());
    }
    std::string Add(const char* name) { return files_.emplace_back(path_ + "/" + name); }

  private:
    std::string path_;
    std::vector<std::string> files_;
};

// tzalloc64 refuses, with the reason, what neither is a zone nor a rule.
TEST(ZoneTest, TzallocReportsWhyItRefuses) {
    TempDirectory directory;
    const std::string fifo = directory.Add("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string truncated = directory.Add("truncated");
    {
        std::ifstream in("/usr/share/zoneinfo/America/New_York", std::ios::binary);
        const std::string image{std::istreambuf_iterator<char>(in), {}};
        std::ofstream(truncated, std::ios::binary) << image.substr(0, image.size() - 20);
    }
    struct Case {
        const char* name;
        int error;
    };
    const Case kCases[] = {
        {"", EINVAL},              // an empty value names nothing
        {":", EINVAL},             //
        {"Nowhere/City", EINVAL},  // no such file, and no rule
        {"EST5EDT,M3", EINVAL},    // a rule with an incomplete date
        {"EST5EDT,M3.2.0,M11.1.0x", EINVAL},
        {"garbage!", EINVAL},           //
        {"right", EINVAL},              // a directory under the zone directory
        {"/", EINVAL},                  // a directory
        {"/etc/passwd", EINVAL},        // not a zone file
        {fifo.c_str(), EINVAL},         // read without blocking, and refused
        {truncated.c_str(), EINVAL},    // the footer is cut
        {"/nonexistent/zone", ENOENT},  // the error of the read
        {"/proc/self/mem", EIO},        //
    };
    for (const Case& c : kCases) {
        errno = 0;
        Zone64* zone = tzalloc64(c.name);
        EXPECT_EQ(zone, nullptr) << c.name;
        EXPECT_EQ(errno, c.error) << c.name;
        tzfree64(zone);
    }
    tzfree64(nullptr);  // does nothing
}

// One instant in three zones, without touching TZ; null: the zone TZ names.
TEST(ZoneTest, TzallocZonesConvertAsTzWould) {
    const char* const kNames[] = {"America/New_York", ":Europe/London",
                                  "/usr/share/zoneinfo/Asia/Tokyo", "UTC0", "<+0530>-5:30"};
    const Time64 instant = 1782302400;
    setenv("TZ", "Australia/Lord_Howe", 1);
    Zone64* current = tzalloc64(nullptr);
    ASSERT_NE(current, nullptr);
    TM64 ours, theirs;
    ASSERT_TRUE(localtime64_rz(current, &instant, &ours) && localtime64_r(&instant, &theirs));
    EXPECT_EQ(Text(ours), Text(theirs));
    for (const char* name : kNames) {
        Zone64* zone = tzalloc64(name);
        ASSERT_NE(zone, nullptr) << name;
        setenv("TZ", name, 1);
        ASSERT_TRUE(localtime64_rz(zone, &instant, &ours) && localtime64_r(&instant, &theirs));
        EXPECT_EQ(Text(ours), Text(theirs)) << name;
        setenv("TZ", "UTC0", 1);
        TM64 date = ours;
        date.tm_isdst = -1;
        EXPECT_EQ(mktime64_z(zone, &date), instant) << name;
        EXPECT_EQ(Text(date), Text(ours)) << name;
        tzfree64(zone);
    }
    tzfree64(current);
}

// TZ values that name no zone fall back to UTC as the C library's do.
TEST(ZoneTest, TzThatNamesNoZoneIsUtcAsInTheCLibrary) {
    const char* const kValues[] = {
        "", ":", "garbage!", "Nowhere/City", "/nonexistent", "A5", "EST5EDT,M3.2.0,M11.1.0x"};
    const Time64 instant = 1782302400;
    for (const char* value : kValues) {
        setenv("TZ", value, 1);
        tzset();
        const time_t platform_time = instant;
        struct tm theirs;
        TM64 ours;
        localtime_r(&platform_time, &theirs);
        ASSERT_NE(localtime64_r(&instant, &ours), nullptr);
        EXPECT_EQ(Text(ours), Text(theirs)) << '"' << value << '"';
    }
}

// Cut and lying images are refused, never read past their end.
TEST(ZoneTest, ZoneFileImagesAreBoundedByTheirSize) {
    std::ifstream in("/usr/share/zoneinfo/right/Europe/Berlin", std::ios::binary);
    const std::vector<unsigned char> image{std::istreambuf_iterator<char>(in), {}};
    ASSERT_GT(image.size(), 100u);
    Zone64* whole = bobbin::detail::ZoneFromFileImage(image.data(), image.size());
    ASSERT_NE(whole, nullptr);
    tzfree64(whole);
    for (std::size_t size = 0; size < image.size(); size += 1 + size / 64) {
        const std::vector<unsigned char> cut(image.begin(), image.begin() + size);
        errno = 0;
        EXPECT_EQ(bobbin::detail::ZoneFromFileImage(cut.data(), cut.size()), nullptr) << size;
        EXPECT_EQ(errno, EINVAL) << size;
    }
    // A version 2 image whose one transition lies at the first 64-bit second.
    std::vector<unsigned char> far = {'T', 'Z', 'i', 'f', '2'};
    auto header = [&far](unsigned char timecnt) {
        far.resize(far.size() < 44 ? 20 : far.size() + 15);
        for (const unsigned char count : {0, 0, 0, int{timecnt}, 1, 4}) {
            far.insert(far.end(), {0, 0, 0, count});
        }
    };
    header(0);
    far.insert(far.end(), {0, 0, 0, 0, 0, 0, 'U', 'T', 'C', 0});  // one type, "UTC"
    far.insert(far.end(), {'T', 'Z', 'i', 'f', '2'});
    header(1);
    far.insert(far.end(), {0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'U', 'T', 'C', 0});
    far.insert(far.end(), {'\n', 'U', 'T', 'C', '0', '\n'});
    errno = 0;
    EXPECT_EQ(bobbin::detail::ZoneFromFileImage(far.data(), far.size()), nullptr);
    EXPECT_EQ(errno, EINVAL);
    far[far.size() - 25] = 0xF0;  // -2^60 + ...: a time that files may hold
    Zone64* first = bobbin::detail::ZoneFromFileImage(far.data(), far.size());
    EXPECT_NE(first, nullptr);
    tzfree64(first);
    for (std::size_t field = 20; field < 44; field += 4) {  // each count of the first header
        std::vector<unsigned char> lying = image;
        lying[field] = 0x7F;
        EXPECT_EQ(bobbin::detail::ZoneFromFileImage(lying.data(), lying.size()), nullptr) << field;
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
