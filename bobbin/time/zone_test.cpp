#include "bobbin/time/internal/zone.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <future>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bobbin/time/internal/range.h"
#include "bobbin/time/time64.h"
#include "bobbin/time/time_test_support.h"

namespace {

using bobbin::testing::Text;

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

    // The environment changed around TZ's entry: moved, rewritten in place, gone.
    static char entry[] = "TZ=UTC0";
    unsetenv("TZ");
    setenv("BOBBIN_BEFORE_TZ", "1", 1);
    putenv(entry);
    ASSERT_NE(localtime64_r(&summer, &ours), nullptr);
    EXPECT_EQ(ours.tm_hour, 12) << "TZ given by putenv";
    unsetenv("BOBBIN_BEFORE_TZ");
    std::memcpy(entry, "TZ=EST5", sizeof entry);
    ASSERT_NE(localtime64_r(&summer, &ours), nullptr);
    EXPECT_EQ(ours.tm_hour, 7) << "TZ's entry moved and rewritten in place";
    unsetenv("TZ");
    tzset();
    TM64 theirs{};
    ASSERT_NE(localtime64_r(&summer, &ours), nullptr);
    ASSERT_NE(localtime_r(&summer, &theirs), nullptr);
    EXPECT_EQ(Text(ours), Text(theirs)) << "TZ unset";
}

// Rule strings against the C library from 1970 on: every change of a few
// hundred years (found by the hour, then to the second) and random seconds.
// Daylight-saving time without dates takes the changes of the posixrules file
// up to its last (the C library names the times after it by that file). Each
// rule is read by a fresh C library: after one such rule, its answers for
// the next one change.
TEST(ZoneTest, RuleStringsAgreeWithTheCLibraryFrom1970) {
    const char* const kRules[] = {
        "AAA3BBB",
        "CET-1CEST",
        "EST5EDT4",
        "AAA3BBB1",
        "<+0530>-5:30<+0630>-7",
        "EST5EDT,M3.2.0,M11.1.0",            // Mm.w.d at the default time
        "<+0530>-5:30",                      // quoted name, no daylight-saving time
        "AEST-10AEDT,M10.1.0,M4.1.0/3",      // southern: daylight saving across New Year
        "<-03>3<-02>,M3.5.0/-2,M10.5.0/-1",  // negative times, week 5
        "IST-1GMT0,M10.5.0,M3.5.0/1",        // negative daylight saving
        "ABC5DEF4:30,J60/25,J300/-1:30",     // Jn around 29 February, beyond 24 h
        "ABC5DEF,59/0,300/167",              // zero-based n, 167 h
        "ABC-13:45DEF-14:45,M9.5.0/2:45,M4.1.0/3:45",
        "AAA3BBB,J1/0,J365/30",         // each year's end after the next one's start
        "AAA3BBB,0/0,365/24",           //
        "EST5EDT,0/0,J365/25",          // all year but the UTC year's first hours
        "EST5EDT,M3.2.0/2,M3.2.0/3",    // start equal to end: no daylight-saving time
        "EST5EDT,M12.5.6/23,M1.1.0/1",  // changes near New Year: the UTC year's
        "WART4WARST,J1/0,J365/25",      //
        "UTC+25",
        "UTC-24:30",
        "EST5EDT26,M3.2.0,M11.1.0",  // hours beyond 24: 24
    };
    std::mt19937_64 engine(1970);
    std::uniform_int_distribution<Time64> pick(0, 4102444800);  // 1970 to 2100
    for (const char* rule : kRules) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child > 0) {
            int status = 0;
            waitpid(child, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << rule;
            continue;
        }
        setenv("TZ", rule, 1);
        tzset();
        const Time64 until = std::strchr(rule, ',') ? 4102444800 : 2137968000;  // 2100, 2037-10
        std::vector<Time64> times;
        for (int i = 0; i < 2000; ++i) times.push_back(pick(engine) % until);
        struct tm before {};
        time_t hour = 0;
        localtime_r(&hour, &before);
        for (; hour < std::min(until, Time64{2200000000}); hour += 3600) {
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
                std::fprintf(stderr, "%s at %lld: %s vs %s\n", rule, static_cast<long long>(time),
                             Text(ours).c_str(), Text(theirs).c_str());
            }
        }
        if (disagreements > 0) std::fprintf(stderr, "%s: %d disagreements\n", rule, disagreements);
        std::_Exit(disagreements > 0 ? 1 : 0);
    }
}

// Around every leap second of a right/ zone: localtime64_r as localtime_r,
// and mktime64 of the date as mktime, giving the second back.
TEST(ZoneTest, LeapSecondsRoundTripAsInTheCLibrary) {
    setenv("TZ", "right/Europe/Berlin", 1);
    tzset();
    Zone64* zone = tzalloc64(nullptr);
    ASSERT_NE(zone, nullptr);
    int disagreements = 0;
    for (const bobbin::detail::LeapSecond& leap : zone->leap_seconds) {
        for (Time64 time = leap.occurrence - 1; time <= leap.occurrence + 1; ++time) {
            const time_t platform_time = time;
            struct tm theirs;
            TM64 ours;
            localtime_r(&platform_time, &theirs);
            ASSERT_NE(localtime64_r(&time, &ours), nullptr);
            const std::string local = Text(ours);
            const Time64 back = mktime64(&ours);
            const time_t platform_back = mktime(&theirs);
            if ((local != Text(theirs) || back != time || back != platform_back) &&
                ++disagreements < 4) {
                ADD_FAILURE() << time << ": " << local << " -> " << back << "; C library "
                              << platform_back;
            }
        }
    }
    EXPECT_EQ(disagreements, 0);
    tzfree64(zone);
}

// mktime64 of wall-clock times in gaps and overlaps, each tm_isdst, as mktime
// (the gaps here lie between standard and daylight-saving time, where the C
// library's answer does not depend on its earlier calls).
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
            ours.tm_year = c.year, ours.tm_mon = c.month, ours.tm_mday = c.day;
            ours.tm_hour = c.hour, ours.tm_min = c.minute, ours.tm_isdst = isdst;
            struct tm theirs = ours;
            const Time64 time = mktime64(&ours);
            EXPECT_EQ(time, mktime(&theirs))
                << c.tz << " " << c.hour << ":" << c.minute << " " << isdst;
            EXPECT_EQ(Text(ours), Text(theirs)) << c.tz << " " << isdst;
        }
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
        std::ofstream(truncated, std::ios::binary) << image.substr(0, image.size() / 2);
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
        {truncated.c_str(), EINVAL},    // the data is cut
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

// TZ naming a FIFO that nobody writes: localtime64 and ctime64 return (UTC)
// rather than hand the FIFO to the C library, whose read would block.
TEST(ZoneTest, LocalTimeOfTzNamingAFifoDoesNotBlock) {
    TempDirectory directory;
    const std::string fifo = directory.Add("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    setenv("TZ", fifo.c_str(), 1);
    auto done = std::async(std::launch::async, [] {
        const Time64 time = 1782302400;
        return localtime64(&time) != nullptr && ctime64(&time) != nullptr;
    });
    const bool returned = done.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    if (!returned) close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // unblock the reader
    EXPECT_TRUE(returned);
    EXPECT_TRUE(done.get());
    setenv("TZ", "UTC0", 1);
    tzset();
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

// A zone file image: a header of version and its block of transitions
// (with type indices), types (6 bytes each: offset, isdst, name index),
// names and leap seconds (corrections ..., 2, 1), each time width bytes wide.
std::string Block(char version, int width, const std::vector<Time64>& times,
                  const std::string& indices, const std::string& types, const std::string& names,
                  const std::vector<Time64>& leaps = {}) {
    auto big = [](Time64 value, int bytes) {
        std::string text;
        for (int i = bytes - 1; i >= 0; --i) text += static_cast<char>(value >> (8 * i) & 0xFF);
        return text;
    };
    std::string image =
        "TZif" + std::string(1, version) + std::string(15, '\0') + big(0, 8) +
        big(static_cast<Time64>(leaps.size()), 4) + big(static_cast<Time64>(times.size()), 4) +
        big(static_cast<Time64>(types.size() / 6), 4) + big(static_cast<Time64>(names.size()), 4);
    for (const Time64 time : times) image += big(time, width);
    image += indices + types + names;
    for (std::size_t i = 0; i < leaps.size(); ++i) {
        image += big(leaps[i], width) + big(static_cast<Time64>(leaps.size() - i), 4);
    }
    return image;
}

// Zone files that the C library reads, though not as RFC 8536 writes them:
// TZ naming each converts as localtime_r, and tzalloc64 reads it too.
TEST(ZoneTest, OddZoneFilesReadAsTheCLibraryReadsThem) {
    const std::string types = std::string("\xff\xff\xb9\xb0\0\0\xff\xff\xc7\xc0\1\4", 12);
    const std::string names = std::string("EST\0EDT\0", 8);
    const std::vector<Time64> times = {-2000000000, 1000000000, 1020000000};
    const std::string indices = std::string("\0\1\0", 3);
    auto v2 = [&](char version, const std::string& footer, const std::string& first = "") {
        return (first.empty() ? Block(version, 4, times, indices, types, names) : first) +
               Block(version, 8, times, indices, types, names) + footer;
    };
    const std::string footer = "\nEST5EDT,M3.2.0,M11.1.0\n";
    const std::string lmt = std::string("\0\0\x0e\x10\0\0", 6);
    const std::string empty = Block('2', 4, {}, "", "", "");
    struct Image {
        std::string image;
        bool footer_used;  // else the last type goes on
    };
    const Image kImages[] = {
        {v2('2', "\nEST5EDT,M3.2.0,M13.1.0\n"), false},       // a footer that is no valid rule
        {v2('2', "\nhello world\n"), false},                  //
        {v2('2', "\nEST5EDT,M3.2.0,M11.1.0"), true},          // the last newline missing
        {v2('5', footer), true},                              // a later version
        {v2('2', footer, empty), true},                       // an empty 32-bit block
        {v2('2', footer) + std::string(300000, '\0'), true},  // past the size read
        {empty + Block('2', 8, {}, "", lmt, std::string("LMT\0", 4)) + footer,
         true},  // no transitions
        {empty + Block('2', 8, times, indices, types, std::string("EST\0EDTX", 8)) + footer,
         true},  // name without null
        {empty + Block('2', 8, times, indices, types, names, {78796800, 63072000}) + footer,
         true},  // leap seconds out of order
    };
    TempDirectory directory;
    const Time64 kTimes[] = {-3000000000, -1500000000, 0,          1000000000,
                             1010000000,  1700000000,  1720000000, 4102444800};
    int index = 0;
    for (const Image& image : kImages) {
        const std::string path = directory.Add(std::to_string(index).c_str());
        std::ofstream(path, std::ios::binary) << image.image;
        setenv("TZ", path.c_str(), 1);
        tzset();
        Zone64* zone = tzalloc64(path.c_str());
        EXPECT_NE(zone, nullptr) << "image " << index;
        for (const Time64 time : kTimes) {
            const time_t platform_time = time;
            struct tm theirs;
            TM64 ours;
            localtime_r(&platform_time, &theirs);
            ASSERT_NE(localtime64_r(&time, &ours), nullptr);
            if (index == 8 && time > 63072000) continue;  // ours sorted, theirs in file order
            if (index == 7 && std::strncmp(ours.tm_zone, theirs.tm_zone, 4) == 0) {
                theirs.tm_zone = ours.tm_zone;  // the C library reads on past the names
            }
            if (image.footer_used || time < times.back()) {
                EXPECT_EQ(Text(ours), Text(theirs)) << "image " << index << " at " << time;
            } else {
                EXPECT_STREQ(ours.tm_zone, "EST") << "image " << index << " at " << time;
            }
        }
        tzfree64(zone);
        ++index;
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
