// The bytes as /proc/cpuinfo and, split at "\x01", as /proc/self/cgroup,
// mountinfo and cgroup files: counts stay within what the input can give.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "bobbin/cpuinfo/cgroup_quota.h"
#include "bobbin/cpuinfo/cpuinfo_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace bobbin::cpuinfo_detail;
    std::string bytes(reinterpret_cast<const char*>(data), size);
    std::FILE* file = fmemopen(bytes.data(), bytes.size(), "r");
    if (file == nullptr) return 0;
    const CpuInfoCounts c = ParseCpuInfo(file);
    std::fclose(file);
    if (c.logicalCount < 0 || static_cast<std::size_t>(c.logicalCount) > size / 9 ||
        c.physicalCPUCount < 0 || c.physicalCPUCount > c.logicalCount ||
        c.totalSystemCPUCount < 0 || c.totalSystemCPUCount > c.logicalCount ||
        c.physicalProcessorCacheSize % 1024 != 0 ||
        c.physicalProcessorCacheSize > 2147483647ULL * 1024 ||
        c.cacheSizePerLogicalCPU > c.cacheSizePerCore ||
        c.cacheSizePerCore > c.physicalProcessorCacheSize) {
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
