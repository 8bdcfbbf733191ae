#include "bobbin/cpuinfo/cpuinfo_parser.h"

#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "bobbin/cpuinfo/cpuinfo_test_support.h"

namespace {

using bobbin::cpuinfo_detail::ClampedAtoi;
using bobbin::cpuinfo_detail::CpuInfoCounts;
using bobbin::cpuinfo_detail::ParseCpuInfo;
using bobbin::cpuinfo_detail::ParseCpuInfoText;
using bobbin::testing::Counts;
using bobbin::testing::FixturePath;
using bobbin::testing::ReadBytes;

constexpr unsigned long long kIntMaxKilobytes = 2147483647ULL * 1024;  // a clamped size

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Parses `bytes` the way the probe parses a file: written to a real temporary
// file and read back with fgets.
CpuInfoCounts ParseThroughFile(const std::string& bytes) {
    File file(std::tmpfile());
    EXPECT_NE(file, nullptr);
    if (!file) return {};
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file.get()), bytes.size());
    std::rewind(file.get());
    return ParseCpuInfo(file.get());
}

// --- Fixture files ---------------------------------------------------------

struct Fixture {
    const char* file;
    CpuInfoCounts expected;
};

std::ostream& operator<<(std::ostream& os, const Fixture& fixture) {
    return os << fixture.file;
}

class FixtureTest : public ::testing::TestWithParam<Fixture> {};

TEST_P(FixtureTest, ParsedFromFileAndFromText) {
    const Fixture& fixture = GetParam();
    const std::string path = FixturePath(fixture.file);
    File file(std::fopen(path.c_str(), "r"));
    ASSERT_NE(file, nullptr) << path;
    EXPECT_EQ(ParseCpuInfo(file.get()), fixture.expected);
    EXPECT_EQ(ParseCpuInfoText(ReadBytes(path)), fixture.expected);
}

const Fixture kFixtures[] = {
    // The Part's edge cases.
    {"two_cpus_6144k.txt", Counts(2, 2, 1, 2, 6291456, 6291456)},
    {"four_cpus_ht_8192k.txt", Counts(4, 2, 2, 4, 8388608, 4194304)},
    {"three_cpus_ht.txt", Counts(3, 1, 2, 2)},                      // total is P - 1
    {"two_cache_lines.txt", Counts(2, 2, 1, 2, 1048576, 1048576)},  // the last line wins
    {"cache_no_blank.txt", Counts(1, 1, 1, 1, 49152, 49152)},       // "2048" loses its "2"
    {"flags_htt.txt", Counts(2, 1, 2, 2)},
    {"flags_ht_further_in.txt", Counts(2, 2, 1, 2)},   // pht, xht, Ht, HT: no mark
    {"capital_processor.txt", Counts(1, 1, 1, 1)},     // Processor, PROCESSOR not counted
    {"processor_longer_key.txt", Counts(3, 3, 1, 3)},  // processors, processor_id counted
    {"long_line.txt",
     Counts(2, 2, 1, 2)},  // remainder "processor tail" is a key; late "ht" is not a flag
    {"empty.txt", Counts(0, 0, 1, 0)},
    // Whole files of real kinds of machine.
    {"x86_smt.txt", Counts(8, 4, 2, 8, 8388608, 4194304)},
    {"vm_ht_no_smt.txt", Counts(4, 2, 2, 4, 110100480, 55050240)},  // ht without SMT: halved anyway
    {"arm64.txt", Counts(4, 4, 1, 4)},                              // no flags, no cache size
};

std::string FixtureName(const ::testing::TestParamInfo<Fixture>& info) {
    std::string name = info.param.file;
    name = name.substr(0, name.find('.'));
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Testdata, FixtureTest, ::testing::ValuesIn(kFixtures), FixtureName);

// --- Inline texts: values, splitting, NUL bytes ------------------------------

struct TextCase {
    const char* name;
    std::string text;
    CpuInfoCounts expected;
};

std::ostream& operator<<(std::ostream& os, const TextCase& c) {
    return os << c.name;
}

class TextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(TextTest, ParsedFromTextAndFromFile) {
    const TextCase& c = GetParam();
    EXPECT_EQ(ParseCpuInfoText(c.text), c.expected);
    EXPECT_EQ(ParseThroughFile(c.text), c.expected);
}

// A literal with its embedded NUL bytes (without the terminating one).
template <std::size_t N>
std::string Bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

const TextCase kTexts[] = {
    // The cache size: atoi semantics on the first blank-separated token.
    {"CacheLeadingWhiteSpace", "cache size\t:\t\t12 KB\n", Counts(0, 0, 1, 0, 12288, 12288)},
    {"CachePlusSign", "cache size\t: +7 KB\n", Counts(0, 0, 1, 0, 7168, 7168)},
    {"CacheTrailingLetters", "cache size\t: 12abc\n", Counts(0, 0, 1, 0, 12288, 12288)},
    {"CacheOneKilobyte", "cache size\t: 1 KB\n", Counts(0, 0, 1, 0, 1024, 1024)},
    {"CacheZero", "cache size\t: 0 KB\n", Counts(0, 0, 1, 0)},
    {"CacheNotANumberOverwrites", "cache size\t: 512 KB\ncache size\t: KB\n", Counts(0, 0, 1, 0)},
    {"CacheEmptyValueStoresNothing", "cache size\t: 512 KB\ncache size\t: \n",
     Counts(0, 0, 1, 0, 524288, 524288)},
    {"CacheValueEndsAtColon", "cache size\t: 64:128 KB\n", Counts(0, 0, 1, 0, 65536, 65536)},
    {"CacheKeyWithoutValue", "cache size\t: 512 KB\ncache size\n",
     Counts(0, 0, 1, 0, 524288, 524288)},
    // Hostile numbers: clamped to int, negative counts as no number.
    {"CacheIntMax", "cache size\t: 2147483647 KB\n",
     Counts(0, 0, 1, 0, kIntMaxKilobytes, kIntMaxKilobytes)},
    {"CacheJustOverIntMaxClamped", "cache size\t: 2147483648 KB\n",
     Counts(0, 0, 1, 0, kIntMaxKilobytes, kIntMaxKilobytes)},
    {"CacheWrapsInAtoiClamped", "cache size\t: 4294968320 KB\n",  // glibc atoi gives 1024
     Counts(0, 0, 1, 0, kIntMaxKilobytes, kIntMaxKilobytes)},
    {"CacheHugeClamped", "cache size\t: 99999999999999999999999999999999 KB\n",
     Counts(0, 0, 1, 0, kIntMaxKilobytes, kIntMaxKilobytes)},
    {"CacheNegativeIsZero", "cache size\t: 512 KB\ncache size\t: -5 KB\n", Counts(0, 0, 1, 0)},
    {"CacheHugeNegativeIsZero", "cache size\t: -99999999999999999999 KB\n", Counts(0, 0, 1, 0)},
    // Keys and flags.
    {"ProcessorWithoutValue", "processor\nprocessor:\n::processor\n", Counts(3, 3, 1, 3)},
    {"FlagsValueFirstCharDropped", "flags\t:ht\nprocessor\t: 0\n", Counts(1, 1, 1, 1)},
    {"FlagsMarkOnlyBeforeNextColon", "flags\t\t: fpu: ht\n", Counts(0, 0, 1, 0)},
    {"FlagsSplitOnlyAtBlanks", "flags\t\t: fpu\tht\n", Counts(0, 0, 1, 0)},
    {"FlagsTabBeforeMark", "flags\t\t: fpu \tht\n", Counts(0, 0, 1, 0)},
    {"FlagsTokenAfterTabStartsWithHt", "flags\t\t: fpu ht\tsse\n", Counts(0, 0, 2, 0)},
    {"MarkWithoutProcessors", "flags\t\t: ht\n", Counts(0, 0, 2, 0)},
    {"CarriageReturnsAreText", "processor\t: 0\r\nflags\t: ht\r\n", Counts(1, 0, 2, 0)},
    // Pieces of at most 1023 characters.
    {"KeyOf1023ThenProcessor", std::string(1023, 'x') + "processor\n", Counts(1, 1, 1, 1)},
    {"LineOf1023PlusNewline", "processor" + std::string(1014, 'x') + "\nprocessor\n",
     Counts(2, 2, 1, 2)},
    {"ProcessorSplitAcrossPieces", std::string(1020, 'x') + "processor\n", Counts(0, 0, 1, 0)},
    // NUL bytes end a piece's text, as in a C string; the piece still ends where
    // fgets ends it (after a newline or 1023 bytes).
    {"NulEndsKey", Bytes("processor\0 junk\nprocessor\t: 1\n"), Counts(2, 2, 1, 2)},
    {"NulHidesMark", Bytes("flags\t\t: fpu\0 ht\nprocessor\t: 0\n"), Counts(1, 1, 1, 1)},
    {"NulInsideKey", Bytes("proc\0essor\t: 0\n"), Counts(0, 0, 1, 0)},
    {"NulDoesNotMovePieceEnd", Bytes("\0") + std::string(1022, 'a') + "processor\n",
     Counts(1, 1, 1, 1)},
    {"NulHidesCacheDigits",
     Bytes("cache size\t: 5\0"
           "12 KB\n"),
     Counts(0, 0, 1, 0, 5120, 5120)},
};

std::string TextName(const ::testing::TestParamInfo<TextCase>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Inline, TextTest, ::testing::ValuesIn(kTexts), TextName);

// --- atoi semantics, clamped -------------------------------------------------

TEST(ClampedAtoiTest, MatchesAtoiInsideIntAndClampsOutside) {
    const char* const inRange[] = {"",           "-",   "+",   "  42", "\t\v\f\r9",
                                   "0042",       "4 2", "-0",  "+17x", "-2147483648",
                                   "2147483647", "x12", "--1", "- 1"};
    for (const char* text : inRange) {
        EXPECT_EQ(ClampedAtoi(text), std::atoi(text)) << '"' << text << '"';
    }
    EXPECT_EQ(ClampedAtoi("2147483648"), INT_MAX);
    EXPECT_EQ(ClampedAtoi("-2147483649"), INT_MIN);
    EXPECT_EQ(ClampedAtoi(std::string(5000, '9')), INT_MAX);
    EXPECT_EQ(ClampedAtoi("-" + std::string(5000, '9')), INT_MIN);
    EXPECT_EQ(ClampedAtoi("000000000000000000000000000000000000000007"), 7);
}

// --- No hidden tokenizer state -------------------------------------------------

TEST(ReentrancyTest, CallersStrtokIsUndisturbed) {
    char text[] = "alpha,beta,gamma";
    const char* first = std::strtok(text, ",");
    ASSERT_STREQ(first, "alpha");
    EXPECT_EQ(ParseCpuInfoText(ReadBytes(FixturePath("x86_smt.txt"))),
              Counts(8, 4, 2, 8, 8388608, 4194304));
    File file(std::fopen(FixturePath("four_cpus_ht_8192k.txt").c_str(), "r"));
    ASSERT_NE(file, nullptr);
    ParseCpuInfo(file.get());
    EXPECT_STREQ(std::strtok(nullptr, ","), "beta");
    EXPECT_STREQ(std::strtok(nullptr, ","), "gamma");
    EXPECT_EQ(std::strtok(nullptr, ","), nullptr);
}

// --- Hostile bytes: no crash, no UB (run under ASan/UBSan), same by both roads --

std::string RandomBytes(std::size_t size, unsigned seed) {
    // Biased toward the bytes and words the parser reacts to.
    static const char* const kWords[] = {
        "processor", "flags", "cache size", "ht", "htt", ":", "\n", " ", "\t", "-", "99999999999"};
    std::mt19937 random(seed);
    std::string bytes;
    while (bytes.size() < size) {
        const unsigned pick = random() % 4;
        if (pick == 0) {
            bytes += kWords[random() % (sizeof kWords / sizeof kWords[0])];
        } else {
            bytes += static_cast<char>(random() % 256);
        }
    }
    return bytes;
}

TEST(HostileInputTest, RandomBytesAgreeByBothRoads) {
    for (unsigned seed = 1; seed <= 16; ++seed) {
        const std::string bytes = RandomBytes(64 * 1024, seed);
        const CpuInfoCounts counts = ParseCpuInfoText(bytes);
        EXPECT_EQ(ParseThroughFile(bytes), counts) << "seed " << seed;
        EXPECT_GE(counts.logicalCount, 0);
        EXPECT_LE(counts.physicalProcessorCacheSize, kIntMaxKilobytes);
    }
}

TEST(HostileInputTest, EveryByteValue) {
    std::string bytes;
    for (int repeat = 0; repeat < 8; ++repeat) {
        for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
    }
    EXPECT_EQ(ParseThroughFile(bytes), ParseCpuInfoText(bytes));
    EXPECT_EQ(ParseCpuInfoText("processor\t: 0\n" + bytes).logicalCount, 1);
}

TEST(HostileInputTest, OneMebibyteLines) {
    const std::size_t kMiB = 1024 * 1024;
    struct Line {
        std::string bytes;
        CpuInfoCounts expected;
    };
    std::string processors;  // "processor" repeated: 1023-byte pieces start mid-word
    while (processors.size() < kMiB) processors += "processor";
    std::string marks = "flags\t\t: ";  // only the first piece is a flags line
    while (marks.size() < kMiB) marks += "ht ";
    std::string digits = "cache size\t: ";
    digits += std::string(kMiB, '7');
    const Line lines[] = {
        {std::string(kMiB, 'x'), Counts(0, 0, 1, 0)},
        {std::string(kMiB, ':'), Counts(0, 0, 1, 0)},
        {std::string(kMiB, '\0'), Counts(0, 0, 1, 0)},
        {std::string(kMiB, '\n'), Counts(0, 0, 1, 0)},
        {marks, Counts(0, 0, 2, 0)},
        {digits, Counts(0, 0, 1, 0, kIntMaxKilobytes, kIntMaxKilobytes)},
    };
    for (const Line& line : lines) {
        EXPECT_EQ(ParseCpuInfoText(line.bytes), line.expected);
        EXPECT_EQ(ParseThroughFile(line.bytes), line.expected);
    }
    const CpuInfoCounts counts = ParseCpuInfoText(processors);
    EXPECT_EQ(ParseThroughFile(processors), counts);
    EXPECT_GT(counts.logicalCount, 0);  // pieces that happen to start at a word boundary
}

}  // namespace
