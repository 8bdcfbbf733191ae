#include "bobbin/time/internal/zone_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "bobbin/time/time64.h"
#include "bobbin/time/time_test_support.h"

namespace {

using bobbin::testing::TempDirectory;
using bobbin::testing::Text;

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

// The image's zone, or null with errno set.
std::unique_ptr<Zone64> FromImage(const std::string& image) {
    std::unique_ptr<Zone64> zone;
    errno = bobbin::detail::ReadZoneImage(reinterpret_cast<const unsigned char*>(image.data()),
                                          image.size(), &zone);
    return zone;
}

// Cut and lying images are refused, never read past their end; so are offsets
// beyond -25 h and 26 h, and no types or more than 256. Transitions anywhere
// in 64 bits are read.
TEST(ZoneFileTest, ZoneFileImagesAreBoundedByTheirSize) {
    std::ifstream in("/usr/share/zoneinfo/right/Europe/Berlin", std::ios::binary);
    const std::string image{std::istreambuf_iterator<char>(in), {}};
    ASSERT_GT(image.size(), 100u);
    EXPECT_NE(FromImage(image), nullptr);
    for (std::size_t size = 0; size < image.size(); size += 1 + size / 64) {
        EXPECT_EQ(FromImage(image.substr(0, size)), nullptr) << size;
        EXPECT_EQ(errno, EINVAL) << size;
    }
    for (std::size_t field = 20; field < 44; field += 4) {  // each count of the first header
        std::string lying = image;
        lying[field] = 0x7F;
        EXPECT_EQ(FromImage(lying), nullptr) << field;
    }
    // One transition, at time to a type of offset.
    const struct {
        Time64 time;
        Time64 offset;
        bool read;
    } kEdges[] = {{INT64_MIN, 0, true}, {INT64_MAX, 0, true}, {0, -90001, false},
                  {0, -90000, true},    {0, 93600, true},     {0, 93601, false}};
    const std::string utc(6, '\0'), name("UTC\0", 4);
    for (const auto& e : kEdges) {
        const std::string type = Big(e.offset, 4) + std::string(2, '\0');
        const auto zone =
            FromImage(Block('2', 4, {}, "", utc, name) +
                      Block('2', 8, {e.time}, std::string(1, '\1'), utc + type, name) + "\nUTC0\n");
        EXPECT_EQ(zone != nullptr, e.read) << e.time << " " << e.offset;
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
TEST(ZoneFileTest, OddZoneFilesReadAsTheCLibraryReadsThem) {
    const std::string est_edt = std::string("\xff\xff\xb9\xb0\0\0\xff\xff\xc7\xc0\1\4", 12);
    const std::string edt_est = std::string("\xff\xff\xc7\xc0\1\4\xff\xff\xb9\xb0\0\0", 12);
    const std::string names = std::string("EST\0EDT\0", 8);
    const std::vector<Time64> times = {-2000000000, 1000000000, 1020000000};
    const std::string indices = std::string("\0\1\0", 3);
    const std::string footer = "\nEST5EDT,M3.2.0,M11.1.0\n";
    const std::string empty = Block('2', 4, {}, "", "", "");
    auto v2 = [&](const std::string& tail, char version = '2', const std::string& first = "") {
        return (first.empty() ? Block(version, 4, times, indices, est_edt, names) : first) +
               Block(version, 8, times, indices, est_edt, names) + tail;
    };
    auto data = [&](const std::vector<Time64>& at, const std::string& index,
                    const std::string& types = "", const std::string& abbreviations = "",
                    const std::vector<Time64>& leaps = {}) {
        return empty + Block('2', 8, at, index, types.empty() ? est_edt : types,
                             abbreviations.empty() ? names : abbreviations, leaps) +
               footer;
    };
    constexpr Time64 kFar = Time64{1} << 62;
    // Where the C library reads a footer that is no rule in a way of its own,
    // the last transition's type goes on.
    struct Image {
        std::string image;
        bool compared_after_last;  // else the last type, EST, goes on
        Time64 compared_until;     // the C library takes the file's order, not time's
    };
    const Image kImages[] = {
        {v2("\nEST5EDT,M3.2.0,M13.1.0\n"), false, INT64_MAX},  // a footer that is no valid rule
        {v2("\nhello world\n"), false, INT64_MAX},             //
        {v2("EST5EDT,M3.2.0,M11.1.0\n"), true, INT64_MAX},     // no newline before the footer
        {v2("xy"), true, INT64_MAX},                           //
        {v2("\nEST5EDT,M3.2.0,M11.1.0"), true, INT64_MAX},     // the last newline missing
        {v2(footer, '5'), true, INT64_MAX},                    // a later version
        {v2(footer, '2', empty), true, INT64_MAX},             // an empty 32-bit block
        {v2(footer) + std::string(300000, '\0'), true, INT64_MAX},  // past the size read
        {empty + Block('2', 8, {}, "", std::string("\0\0\x0e\x10\0\0", 6), "LMT" + std::string(1, '\0')) +
             footer,
         true, INT64_MAX},  // no transitions
        {data(times, indices, "", std::string("EST\0EDTX", 8)), true, INT64_MAX},  // name without null
        {data(times, indices, "", "", {78796800, 63072000}), true, 63072000},  // leap seconds out of order
        {data({-kFar, 1000000000, 1020000000}, std::string("\1\0\1", 3)), true, INT64_MAX},  // far
        {data({-kFar, 1000000000, 1020000000, kFar}, std::string("\1\0\1\0", 4)), true,
         INT64_MAX},  // the last transition far in the future: no footer before it
        {data(times, std::string("\1\0\1", 3), edt_est), true, INT64_MAX},  // type 0 daylight time
    };
    TempDirectory directory;
    const Time64 kTimes[] = {-3000000000, -1500000000, 0,          1000000000,
                             1010000000,  1700000000,  1720000000, 4102444800};
    int index = 0;
    for (const Image& image : kImages) {
        const std::string path = directory / std::to_string(index);
        std::ofstream(path, std::ios::binary) << image.image;
        setenv("TZ", path.c_str(), 1);
        tzset();
        Zone64* zone = tzalloc64(path.c_str());
        EXPECT_NE(zone, nullptr) << "image " << index;
        for (const Time64 time : kTimes) {
            if (time > image.compared_until) continue;
            const time_t platform_time = time;
            struct tm theirs;
            TM64 ours;
            localtime_r(&platform_time, &theirs);
            ASSERT_NE(localtime64_r(&time, &ours), nullptr);
            if (std::strncmp(ours.tm_zone, theirs.tm_zone, 4) == 0) {
                theirs.tm_zone = ours.tm_zone;  // the C library reads on past the names
            }
            if (image.compared_after_last || time < times.back()) {
                EXPECT_EQ(Text(ours), Text(theirs)) << "image " << index << " at " << time;
            } else {
                EXPECT_STREQ(ours.tm_zone, "EST") << "image " << index << " at " << time;
            }
        }
        tzfree64(zone);
        ++index;
    }
}

}  // namespace
