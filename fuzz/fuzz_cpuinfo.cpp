// The bytes as /proc/cpuinfo and, split at "\x01", as /proc/self/cgroup,
// mountinfo and cgroup files: counts stay within what the input can give.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "bobbin/cpuinfo/internal/cgroup_quota.h"
#include "bobbin/cpuinfo/internal/cpuinfo_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace bobbin::detail;
    std::string bytes(reinterpret_cast<const char*>(data), size);
    std::FILE* file = fmemopen(bytes.data(), bytes.size(), "r");
    if (file == nullptr) return 0;
    const CpuInfoCounts c = ParseCpuInfo(file);
    std::fclose(file);
    if (c.logical_count < 0 || static_cast<std::size_t>(c.logical_count) > size / 9 ||
        c.physical_cpu_count < 0 || c.physical_cpu_count > c.logical_count ||
        c.total_system_cpu_count < 0 || c.total_system_cpu_count > c.logical_count ||
        c.physical_processor_cache_size % 1024 != 0 ||
        c.physical_processor_cache_size > 2147483647ULL * 1024 ||
        c.cache_size_per_logical_cpu > c.cache_size_per_core ||
        c.cache_size_per_core > c.physical_processor_cache_size) {
        std::abort();
    }
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
    if (available < 1 || available > std::max(affinity, 1)) std::abort();
    return 0;
}
