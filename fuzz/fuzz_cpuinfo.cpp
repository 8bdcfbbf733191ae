// The bytes as /proc/cpuinfo and, split at "\x01", as /proc/self/cgroup,
// mountinfo and cgroup files: counts stay within what the input can give.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

#include "bobbin/cpuinfo/internal/cgroup_quota.h"
#include "bobbin/cpuinfo/internal/cpuinfo_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace bobbin::detail;
    std::string bytes(reinterpret_cast<const char*>(data), size);
    std::FILE* file = fmemopen(bytes.data(), bytes.size(), "r");
    if (file == nullptr) return 0;
    const CpuInfoCounts c = ParseCpuInfo(file);
    std::fclose(file);
    // Each processor takes a "processor" key of 9 bytes; a cache size is at most INT_MAX KiB.
    if (static_cast<std::size_t>(c.logical_count) > size / 9 ||
        c.physical_cpu_count > c.logical_count || c.total_system_cpu_count > c.logical_count ||
        c.physical_processor_cache_size > 2147483647ULL * 1024 ||
        c.cache_size_per_logical_cpu > c.cache_size_per_core ||
        c.cache_size_per_core > c.physical_processor_cache_size) {
        std::abort();
    }
    std::istringstream parts(bytes);  // the files in the order the quota reader asks for them
    const auto read = [&](const std::string&) -> std::optional<std::string> {
        std::string part;
        return std::getline(parts, part, '\x01') ? std::optional(part) : std::nullopt;
    };
    const int affinity = static_cast<int>(size % 5);
    const int available = AvailableCPUCount(affinity, read);
    if (available < 1 || available > std::max(affinity, 1)) std::abort();
    return 0;
}
