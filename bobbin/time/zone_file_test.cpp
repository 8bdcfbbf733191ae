#include "bobbin/time/internal/zone_file.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "bobbin/time/time64.h"
#include "bobbin/time/time_test_support.h"

namespace {

using bobbin::testing::TempDirectory;
using bobbin::testing::Text;
using namespace std::string_literals;

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
    std::string image = "TZif" + std::string(1, version) + std::string(15, '\0') + Big(0, 8) +
                        Big(leaps.size(), 4) + Big(times.size(), 4) + Big(types.size() / 6, 4) +
                        Big(names.size(), 4);
    for (const Time64 time : times) image += Big(time, width);
    image += indices + types + names;
    for (std::size_t i = 0; i < leaps.size(); ++i)
        image += Big(leaps[i], width) + Big(leaps.size() - i, 4);
    return image;
}

const std::string kEstEdt = "\xff\xff\xb9\xb0\0\0\xff\xff\xc7\xc0\1\4"s;  // two types
const std::string kNames = "EST\0EDT\0"s;
const std::string kFooter = "\nEST5EDT,M3.2.0,M11.1.0\n";
const std::vector<Time64> kTransitions = {-2000000000, 1000000000, 1020000000};

// A version 2 image: an empty 32-bit block, the 64-bit block, the footer.
std::string V2(const std::vector<Time64>& times, const std::string& indices,
               const std::string& types = kEstEdt, const std::string& names = kNames,
               const std::vector<Time64>& leaps = {}) {
    return Block('2', 4, {}, "", "", "") + Block('2', 8, times, indices, types, names, leaps) +
           kFooter;
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
        EXPECT_EQ(FromImage(std::string(image).replace(field, 1, 1, '\x7f')), nullptr) << field;
    }
    // One transition, at time to a type of offset: whether it is read.
    const Time64 kEdges[][3] = {{INT64_MIN, 0, 1}, {INT64_MAX, 0, 1}, {0, -90001, 0},
                                {0, -90000, 1},    {0, 93600, 1},     {0, 93601, 0}};
    const std::string utc(6, '\0');
    for (const auto& [time, offset, read] : kEdges) {
        const std::string type = Big(offset, 4) + "\0\0"s;
        EXPECT_EQ(FromImage(V2({time}, "\1", utc + type, "UTC\0"s)) != nullptr, read != 0)
            << time << " " << offset;
    }
    EXPECT_EQ(FromImage(V2({}, "", "", "UTC\0"s)), nullptr) << "no types";
    EXPECT_EQ(FromImage(V2({}, "", std::string(257 * 6, '\0'), "UTC\0"s)), nullptr) << "257 types";
}

// Zone files that the C library reads, though not as RFC 8536 writes them:
// TZ naming each converts as localtime_r, and tzalloc64 reads it too.
TEST(ZoneFileTest, OddZoneFilesReadAsTheCLibraryReadsThem) {
    const auto both = [](char version) {
        return Block(version, 4, kTransitions, "\0\1\0"s, kEstEdt, kNames) +
               Block(version, 8, kTransitions, "\0\1\0"s, kEstEdt, kNames);
    };
    const std::string v2 = both('2');
    constexpr Time64 kFar = Time64{1} << 62;
    const struct {
        std::string image;
        bool compared_after_last = true;    // else (a footer that is no rule) EST goes on
        Time64 compared_until = INT64_MAX;  // the C library takes the file's order, not time's
    } kImages[] = {
        {v2 + "\nEST5EDT,M3.2.0,M13.1.0\n", false},  // a footer that is no valid rule
        {v2 + "\nhello world\n", false},
        {v2 + "EST5EDT,M3.2.0,M11.1.0\n"},  // no newline before the footer
        {v2 + "xy"},
        {v2 + "\nEST5EDT,M3.2.0,M11.1.0"},                     // the last newline missing
        {both('5') + kFooter},                                 // a later version
        {V2(kTransitions, "\0\1\0"s)},                         // an empty 32-bit block
        {v2 + kFooter + std::string(300000, '\0')},            // past the size read
        {V2({}, "", "\0\0\x0e\x10\0\0"s, "LMT\0"s)},           // no transitions
        {V2(kTransitions, "\0\1\0"s, kEstEdt, "EST\0EDTX"s)},  // a name without its null
        {V2(kTransitions, "\0\1\0"s, kEstEdt, kNames, {78796800, 63072000}), true,
         63072000},                                        // leap seconds out of order
        {V2({-kFar, 1000000000, 1020000000}, "\1\0\1"s)},  // far in the past
        // The last transition far in the future: no footer before it.
        {V2({-kFar, 1000000000, 1020000000, kFar}, "\1\0\1\0"s)},
        {V2(kTransitions, "\1\0\1"s, kEstEdt.substr(6) + kEstEdt.substr(0, 6))},  // type 0 daylight
    };
    TempDirectory directory;
    const Time64 kTimes[] = {-3000000000, -1500000000, 0,          1000000000,
                             1010000000,  1700000000,  1720000000, 4102444800};
    for (std::size_t index = 0; index < std::size(kImages); ++index) {
        const auto& image = kImages[index];
        const std::string path = directory / std::to_string(index);
        std::ofstream(path, std::ios::binary) << image.image;
        setenv("TZ", path.c_str(), 1);
        tzset();
        Zone64* zone = tzalloc64(path.c_str());
        EXPECT_NE(zone, nullptr) << "image " << index;
        tzfree64(zone);
        for (const Time64 time : kTimes) {  // (the C library reads on past a name without null)
            if (time > image.compared_until) continue;
            const time_t platform_time = time;
            TM64 ours, theirs;
            localtime_r(&platform_time, &theirs);
            ASSERT_NE(localtime64_r(&time, &ours), nullptr);
            if (std::strncmp(ours.tm_zone, theirs.tm_zone, 4) == 0) theirs.tm_zone = ours.tm_zone;
            if (image.compared_after_last || time < kTransitions.back()) {
                EXPECT_EQ(Text(ours), Text(theirs)) << "image " << index << " at " << time;
            } else {
                EXPECT_STREQ(ours.tm_zone, "EST") << "image " << index << " at " << time;
            }
        }
    }
}

}  // namespace
