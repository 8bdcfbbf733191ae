// libFuzzer target: the processor probe's text input. The bytes are read as
// /proc/cpuinfo (from memory, with fgets, as the probe reads it), and, split at
// "\x01", as /proc/self/cgroup, /proc/self/mountinfo and then the cgroup files
// in the order they are asked for. The sanitizers catch crashes, overflows and
// undefined behaviour; the target checks that the counts stay within what the
// input can give.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "bobbin/cpuinfo/cgroup_quota.h"
#include "bobbin/cpuinfo/cpuinfo_parser.h"

namespace {

void Check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "fuzz_cpuinfo: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace bobbin::cpuinfo_detail;
    std::string bytes(reinterpret_cast<const char*>(data), size);
    std::FILE* file = fmemopen(bytes.data(), bytes.size(), "r");
    Check(file != nullptr, "fmemopen failed");
    const CpuInfoCounts c = ParseCpuInfo(file);
    std::fclose(file);

    // Each piece (a line, or 1023 bytes of one) names at most one processor; the
    // derived counts never exceed the logical count; sizes are whole KiB that fit
    // an int count of KiB.
    Check(c.logicalCount >= 0 && static_cast<std::size_t>(c.logicalCount) <= size / 9,
          "more processors than the text can name");
    Check(c.physicalCPUCount >= 0 && c.physicalCPUCount <= c.logicalCount &&
              c.totalSystemCPUCount >= 0 && c.totalSystemCPUCount <= c.logicalCount,
          "physical or total count outside [0, logical]");
    Check(c.physicalProcessorCacheSize % 1024 == 0 &&
              c.physicalProcessorCacheSize <= 2147483647ULL * 1024 &&
              c.cacheSizePerLogicalCPU <= c.cacheSizePerCore &&
              c.cacheSizePerCore <= c.physicalProcessorCacheSize,
          "cache sizes out of range or out of order");

    std::vector<std::string> parts;
    for (std::size_t at = 0, end = 0; at <= size; at = end + 1) {
        end = std::min(bytes.find('\x01', at), size);
        parts.push_back(bytes.substr(at, end - at));
    }
    std::size_t next = 0;
    const auto read = [&](const std::string& path) -> std::optional<std::string> {
        next = path == "/proc/self/cgroup" ? 0 : path == "/proc/self/mountinfo" ? 1 : next + 1;
        return next < parts.size() ? std::optional(parts[next]) : std::nullopt;
    };
    const int affinity = static_cast<int>(size % 5);
    const int available = AvailableCPUCount(affinity, read);
    Check(available >= 1 && available <= std::max(affinity, 1), "available count out of range");
    Check(QuotaProcessorsV2(bytes).value_or(1) >= 1 &&
              QuotaProcessorsV1(parts[0], parts.back()).value_or(1) >= 1,
          "a quota of less than one processor");
    return 0;
}
