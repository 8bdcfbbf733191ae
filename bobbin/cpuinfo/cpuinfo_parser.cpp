#include "bobbin/cpuinfo/internal/cpuinfo_parser.h"

#include <algorithm>
#include <climits>

namespace bobbin::detail {

namespace {

constexpr std::string_view kLineDelimiters = ":\n";
constexpr std::string_view kValueDelimiters = " ";

// The semantics of strtok over `rest`, without its hidden state: skips leading
// delimiters, sets `token` to the maximal run of other characters and moves
// `rest` past it. False, and `rest` empty, when no token is left; tokens are
// never empty.
bool NextToken(std::string_view& rest, std::string_view delimiters, std::string_view& token) {
    const std::size_t start = rest.find_first_not_of(delimiters);
    if (start == std::string_view::npos) {
        rest = {};
        return false;
    }
    std::size_t end = rest.find_first_of(delimiters, start);
    if (end == std::string_view::npos) end = rest.size();
    token = rest.substr(start, end - start);
    rest.remove_prefix(end);
    return true;
}

// Fixed-length, case-sensitive prefix comparison, as strncmp(text, prefix, n).
bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// isspace in the "C" locale.
bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// atoi over `text` (leading white space, an optional sign, decimal digits, the
// value 0 without digits), clamped to the range of int instead of overflowing.
int ClampedAtoi(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // The magnitude never exceeds 2^31, so magnitude * 10 + 9 fits in long long.
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    long long magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = std::min(magnitude * 10 + (text[i] - '0'), limit);
    }
    return static_cast<int>(negative ? -magnitude : magnitude);
}

}  // namespace

void CpuInfoParser::Feed(std::string_view piece) {
    piece = piece.substr(0, piece.find('\0'));  // the piece as a C string
    std::string_view rest = piece;
    std::string_view key;
    if (!NextToken(rest, kLineDelimiters, key)) return;  // a blank line
    if (StartsWith(key, "processor") && processors_ < INT_MAX) ++processors_;

    std::string_view value;
    if (!NextToken(rest, kLineDelimiters, value)) return;
    value.remove_prefix(1);  // the first character, whatever it is

    if (StartsWith(key, "flags")) {
        std::string_view flag;
        while (NextToken(value, kValueDelimiters, flag)) {
            if (StartsWith(flag, "ht")) marked_ = true;
        }
    }
    if (StartsWith(key, "cache size")) {
        std::string_view number;
        if (NextToken(value, kValueDelimiters, number)) {
            // atoi clamped to int; a negative size counts as no number (0).
            const int kilobytes = ClampedAtoi(number);
            cache_size_ = kilobytes > 0 ? static_cast<unsigned long long>(kilobytes) * 1024 : 0;
        }
    }
}

CpuInfoCounts CpuInfoParser::Finish() const {
    CpuInfoCounts counts;
    counts.logical_count = processors_;
    counts.physical_cpu_count = marked_ ? processors_ / 2 : processors_;
    counts.cores_per_physical_cpu_count = 1;
    counts.logical_cpu_per_core_count = marked_ ? 2 : 1;
    counts.physical_processor_cache_size = cache_size_;
    if (cache_size_ > 1) {
        counts.cache_size_per_core = cache_size_;
        counts.cache_size_per_logical_cpu =
            cache_size_ / static_cast<unsigned long long>(counts.logical_cpu_per_core_count);
    }
    counts.total_system_cpu_count = counts.physical_cpu_count * counts.logical_cpu_per_core_count;
    return counts;
}

CpuInfoCounts ParseCpuInfo(std::FILE* file) {
    CpuInfoParser parser;
    char buffer[kPieceBufferSize];
    while (std::fgets(buffer, static_cast<int>(sizeof buffer), file) != nullptr) {
        parser.Feed(std::string_view(buffer));  // ends at the first NUL byte
    }
    return parser.Finish();
}

void CpuInfoProbe::CalculateLocked() {
    if (has_queried_.load(std::memory_order_relaxed)) return;
    std::FILE* file = std::fopen(path_, "r");
    if (file == nullptr) return;  // nothing changes; the next query retries
    const CpuInfoCounts counts = ParseCpuInfo(file);
    std::fclose(file);
    state_ = counts;
    has_queried_.store(true, std::memory_order_release);
}

int CpuInfoProbe::AffinityCount(GetAffinityFunction getaffinity) {
    cpu_set_t mask;
    static_assert(sizeof mask == 128, "the affinity mask is 128 bytes: 1024 processors");
    if (getaffinity(0, sizeof mask, &mask) < 0) {
        return Get(&CpuInfoCounts::total_system_cpu_count);
    }
    return CPU_COUNT(&mask);
}

}  // namespace bobbin::detail
