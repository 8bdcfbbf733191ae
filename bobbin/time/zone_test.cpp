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
    std::memcpy(entry, "TX=EST5", sizeof entry);
    ASSERT_NE(localtime64_r(&summer, &ours), nullptr);
    EXPECT_EQ(ours.tm_hour, 12) << "TZ's entry renamed in place: TZ is unset";
    unsetenv("TZ");
    tzset();
    TM64 theirs{};
    ASSERT_NE(localtime64_r(&summer, &ours), nullptr);
    ASSERT_NE(localtime_r(&summer, &theirs), nullptr);
    EXPECT_EQ(Text(ours), Text(theirs)) << "TZ unset";
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

// A directory of a test's own, removed with its files.
struct TempDirectory {
    std::string path = [] {
        char name[] = "/tmp/zone_testXXXXXX";
        return std::string(mkdtemp(name));
    }();
    ~TempDirectory() { std::filesystem::remove_all(path); }
};

// tzalloc64 refuses, with the reason, what neither is a zone nor a rule;
// local time never blocks on a FIFO that TZ names.
TEST(ZoneTest, TzallocReportsWhyItRefusesAndNothingBlocks) {
    TempDirectory directory;
    const std::string fifo = directory.path + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        const char* name;
        int error;
    };
    const Case kCases[] = {
        {"", EINVAL},                                   // an empty value names nothing
        {":", EINVAL},                                  //
        {"Nowhere/City", EINVAL},                       // no such file, and no rule
        {"EST5EDT,M3", EINVAL},                         // a rule with an incomplete date
        {"EST5EDT,J0,J365", EINVAL},                    // day 0 of a year without 29 February
        {"EST5EDT,M3.2.0/,M11.1.0", EINVAL},            // no change time after the slash
        {"EST5EDT,M3.2.0/4294967298,M11.1.0", EINVAL},  // 2^32 + 2 hours
        {"EST5EDT,M3.2.0,M11.1.0x", EINVAL},
        {"garbage!", EINVAL},           //
        {"right", EINVAL},              // a directory under the zone directory
        {"/", EINVAL},                  // a directory
        {"/etc/passwd", EINVAL},        // not a zone file
        {fifo.c_str(), EINVAL},         // read without blocking, and refused
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
    Zone64* rule = bobbin::detail::ZoneFromRule("EST5EDT,M3.2.0,M11.1.0");
    EXPECT_NE(rule, nullptr) << "a rule string is a zone";
    tzfree64(rule);
    EXPECT_EQ(bobbin::detail::ZoneFromRule("EST5EDT,M3.2.0,M11.1.0x"), nullptr) << "junk after it";
    const std::string long_rule = std::string(300, 'A') + "5";  // longer than a file name
    Zone64* zone = tzalloc64(long_rule.c_str());
    EXPECT_NE(zone, nullptr) << "a rule longer than a file name is still a rule";
    tzfree64(zone);
    // TZ naming the FIFO: local time (UTC) rather than the C library's read,
    // which would block.
    setenv("TZ", fifo.c_str(), 1);
    auto done = std::async(std::launch::async, [] {
        const Time64 time = 1782302400;
        return localtime64(&time) != nullptr && ctime64(&time) != nullptr;
    });
    const bool returned = done.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    if (!returned) close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // unblock the reader
    EXPECT_TRUE(returned) << "a FIFO named by TZ blocked local time";
    EXPECT_TRUE(done.get());
    setenv("TZ", "UTC0", 1);
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

// value as a big-endian number of bytes bytes.
std::string Big(Time64 value, int bytes) {
    std::string text;
    for (int i = bytes - 1; i >= 0; --i) text += static_cast<char>(value >> (8 * i) & 0xFF);
    return text;
}

// A zone file image: a header of version and its block of transitions
// (with type indices), types (6 bytes each: offset, isdst, name index),
// names and leap seconds (corrections ..., 2, 1), each time width bytes wide.
std::string Block(char version, int width, const std::vector<Time64>& times,
                  const std::string& indices, const std::string& types, const std::string& names,
                  const std::vector<Time64>& leaps = {}) {
    std::string image =
        "TZif" + std::string(1, version) + std::string(15, '\0') + Big(0, 8) +
        Big(static_cast<Time64>(leaps.size()), 4) + Big(static_cast<Time64>(times.size()), 4) +
        Big(static_cast<Time64>(types.size() / 6), 4) + Big(static_cast<Time64>(names.size()), 4);
    for (const Time64 time : times) image += Big(time, width);
    image += indices + types + names;
    for (std::size_t i = 0; i < leaps.size(); ++i) {
        image += Big(leaps[i], width) + Big(static_cast<Time64>(leaps.size() - i), 4);
    }
    return image;
}

Zone64* FromImage(const std::string& image) {
    const auto* data = reinterpret_cast<const unsigned char*>(image.data());
    return bobbin::detail::ZoneFromFileImage(data, image.size());
}

// Cut and lying images are refused, never read past their end; so are
// transitions beyond the times that files may hold (2^60 s either way),
// offsets beyond -25 h and 26 h, and no types or more than 256.
TEST(ZoneTest, ZoneFileImagesAreBoundedByTheirSize) {
    std::ifstream in("/usr/share/zoneinfo/right/Europe/Berlin", std::ios::binary);
    const std::string image{std::istreambuf_iterator<char>(in), {}};
    ASSERT_GT(image.size(), 100u);
    Zone64* whole = FromImage(image);
    ASSERT_NE(whole, nullptr);
    tzfree64(whole);
    for (std::size_t size = 0; size < image.size(); size += 1 + size / 64) {
        errno = 0;
        EXPECT_EQ(FromImage(image.substr(0, size)), nullptr) << size;
        EXPECT_EQ(errno, EINVAL) << size;
    }
    for (std::size_t field = 20; field < 44; field += 4) {  // each count of the first header
        std::string lying = image;
        lying[field] = 0x7F;
        EXPECT_EQ(FromImage(lying), nullptr) << field;
    }
    // One transition, at time to a type of offset.
    constexpr Time64 kEdge = Time64{1} << 60;
    const struct {
        Time64 time;
        Time64 offset;
        bool read;
    } kEdges[] = {{INT64_MIN, 0, false}, {-kEdge - 1, 0, false}, {-kEdge, 0, true},
                  {kEdge, 0, true},      {kEdge + 1, 0, false},  {0, -90001, false},
                  {0, -90000, true},     {0, 93600, true},       {0, 93601, false}};
    const std::string utc(6, '\0'), name("UTC\0", 4);
    for (const auto& e : kEdges) {
        const std::string type = Big(e.offset, 4) + std::string(2, '\0');
        Zone64* zone =
            FromImage(Block('2', 4, {}, "", utc, name) +
                      Block('2', 8, {e.time}, std::string(1, '\1'), utc + type, name) + "\nUTC0\n");
        EXPECT_EQ(zone != nullptr, e.read) << e.time << " " << e.offset;
        tzfree64(zone);
    }
    for (const std::string& types : {std::string(), std::string(257 * 6, '\0')}) {
        EXPECT_EQ(FromImage(Block('2', 4, {}, "", utc, name) + Block('2', 8, {}, "", types, name) +
                            "\nUTC0\n"),
                  nullptr)
            << types.size() / 6 << " types";
    }
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
        const std::string path = directory.path + "/" + std::to_string(index);
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
