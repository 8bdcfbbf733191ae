#include "bobbin/cpuinfo/cpuinfo_parser.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <random>
#include <string>

#include "bobbin/cpuinfo/cpuinfo_test_support.h"

namespace {

using namespace bobbin::cpuinfo_detail;
using namespace std::string_literals;

constexpr unsigned long long kMax = 2147483647ULL * 1024;  // a clamped size: INT_MAX kilobytes

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    return {std::istreambuf_iterator<char>(in), {}};
}

// Parses `bytes` as the probe parses a file: written to a real file, read with fgets.
CpuInfoCounts ParseThroughFile(const std::string& bytes) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::tmpfile(), &std::fclose);
    EXPECT_NE(file, nullptr);
    if (!file) return {};
    std::fwrite(bytes.data(), 1, bytes.size(), file.get());
    std::rewind(file.get());
    return ParseCpuInfo(file.get());
}

// Every case is parsed by both roads, which must agree with the expectation.
struct Case {
    const char* name;
    std::string text;  // when empty, the file `name` of testdata/
    CpuInfoCounts want;
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
    return os << c.name;
}

class ParseTest : public ::testing::TestWithParam<Case> {};

TEST_P(ParseTest, BothRoadsGiveTheCounts) {
    const Case& c = GetParam();
    const std::string bytes = c.text.empty() ? ReadBytes(FixturePath(c.name)) : c.text;
    EXPECT_EQ(ParseCpuInfoText(bytes), c.want);
    EXPECT_EQ(ParseThroughFile(bytes), c.want);
}

const Case kCases[] = {
    {"two_cpus_6144k", "", Counts(2, 2, 1, 2, 6291456, 6291456)},
    {"four_cpus_ht_8192k", "", Counts(4, 2, 2, 4, 8388608, 4194304)},
    {"three_cpus_ht", "", Counts(3, 1, 2, 2)},  // the total drops the odd processor
    {"two_cache_lines", "", Counts(2, 2, 1, 2, 1048576, 1048576)},  // the last line wins
    {"cache_no_blank", "", Counts(1, 1, 1, 1, 49152, 49152)},       // "2048" loses its "2"
    {"flags_htt", "", Counts(2, 1, 2, 2)},
    {"flags_ht_further_in", "", Counts(2, 2, 1, 2)},   // pht, xht, Ht, HT: no mark
    {"capital_processor", "", Counts(1, 1, 1, 1)},     // case-sensitive key
    {"processor_longer_key", "", Counts(3, 3, 1, 3)},  // a prefix match
    {"long_line", "", Counts(2, 2, 1, 2)},             // a 1023-byte piece ends a line early
    {"empty", "", Counts(0, 0, 1, 0)},
    {"x86_smt", "", Counts(8, 4, 2, 8, 8388608, 4194304)},
    {"vm_ht_no_smt", "", Counts(4, 2, 2, 4, 110100480, 55050240)},
    {"arm64", "", Counts(4, 4, 1, 4)},
    {"CacheNotANumberOverwrites", "cache size\t: 512 KB\ncache size\t: KB\n", Counts(0, 0, 1, 0)},
    {"CacheEmptyValueKeepsSize", "cache size\t: 512 KB\ncache size\t: \n",
     Counts(0, 0, 1, 0, 524288, 524288)},
    {"CacheHugeClamped", "cache size\t: 99999999999999999999 KB\n", Counts(0, 0, 1, 0, kMax, kMax)},
    {"CacheNegativeIsZero", "cache size\t: 512 KB\ncache size\t: -5 KB\n", Counts(0, 0, 1, 0)},
    {"ProcessorWithoutValue", "processor\nprocessor:\n::processor\n", Counts(3, 3, 1, 3)},
    {"FlagsValueFirstCharDropped", "flags\t:ht\nprocessor\t: 0\n", Counts(1, 1, 1, 1)},
    {"FlagsMarkOnlyBeforeNextColon", "flags\t\t: fpu: ht\n", Counts(0, 0, 1, 0)},
    {"FlagsSplitOnlyAtBlanks", "flags\t\t: fpu\tht\n", Counts(0, 0, 1, 0)},
    {"NulHidesMark", "flags\t\t: fpu\0 ht\nprocessor\t: 0\n"s, Counts(1, 1, 1, 1)},
    // Pieces hold at most 1023 bytes; a NUL byte ends a piece's text, not the piece.
    {"KeyOf1023ThenProcessor", std::string(1023, 'x') + "processor\n", Counts(1, 1, 1, 1)},
    {"NulDoesNotMovePieceEnd", "\0"s + std::string(1022, 'a') + "processor\n", Counts(1, 1, 1, 1)},
    {"MebibyteOfNul", std::string(1 << 20, '\0'), Counts(0, 0, 1, 0)},
    {"MebibyteProcessorLine", "processor" + std::string(1 << 20, ':'), Counts(1, 1, 1, 1)},
    {"MebibyteCache", "cache size:" + std::string(1 << 20, '7'), Counts(0, 0, 1, 0, kMax, kMax)},
};

INSTANTIATE_TEST_SUITE_P(Cpuinfo, ParseTest, ::testing::ValuesIn(kCases),
                         ::testing::PrintToStringParamName());

TEST(ClampedAtoiTest, MatchesAtoiInsideIntAndClampsOutside) {
    for (const char* text :
         {"", "-", "  42", "\t\v\f\r9", "-0", "+17x", "-2147483648", "2147483647", "x12", "- 1"})
        EXPECT_EQ(ClampedAtoi(text), std::atoi(text)) << '"' << text << '"';
    EXPECT_EQ(ClampedAtoi("2147483648"), INT_MAX);
    EXPECT_EQ(ClampedAtoi("-2147483649"), INT_MIN);
}

TEST(ReentrancyTest, CallersStrtokIsUndisturbed) {
    char text[] = "alpha,beta,gamma";
    ASSERT_STREQ(std::strtok(text, ","), "alpha");
    EXPECT_EQ(ParseThroughFile(ReadBytes(FixturePath("x86_smt"))).logicalCount, 8);
    EXPECT_STREQ(std::strtok(nullptr, ","), "beta");
    EXPECT_STREQ(std::strtok(nullptr, ","), "gamma");
}

// Run under the sanitizers: no crash and no undefined behaviour on any bytes.
TEST(HostileInputTest, RandomBytesAgreeByBothRoads) {
    const char* const words[] = {"processor", "flags", "cache size", "ht",
                                 ":",         "\n",    " ",          "-99999999999"};
    for (unsigned seed = 1; seed <= 8; ++seed) {
        std::mt19937 random(seed);
        std::string bytes;
        while (bytes.size() < 64 * 1024) {
            bytes += random() % 4 ? std::string(1, static_cast<char>(random() % 256))
                                  : std::string(words[random() % 8]);
        }
        EXPECT_EQ(ParseThroughFile(bytes), ParseCpuInfoText(bytes)) << "seed " << seed;
    }
}

}  // namespace
