// Internal, not installed: the CPU quota of the process's control groups (cgroup
// v2 "cpu.max", cgroup v1 "cpu.cfs_quota_us" over "cpu.cfs_period_us"), found
// from /proc/self/cgroup and /proc/self/mountinfo. Every file is read through a
// ReadFile function, so that tests can hand in a table of file contents.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bobbin::detail {

// The contents of the file at `path`, or nothing when it cannot be read.
using ReadFile = std::function<std::optional<std::string>(const std::string& path)>;

// Reads a file whole with stdio; nothing when it cannot be opened or read, or
// when it holds more than 4 MiB (no cgroup or /proc file the probe reads does).
std::optional<std::string> ReadSmallFile(const std::string& path);

// A directory of the process's cgroup that may hold a CPU quota.
struct CgroupDir {
    std::string path;  // the process's cgroup, below the mount point
    std::string top;   // the mount point ("" for /): the highest directory to look at
    bool v2 = false;   // cpu.max, else cpu.cfs_quota_us and cpu.cfs_period_us
};

// The directories of the `cpu` controller's cgroup v1 hierarchy and of the
// cgroup v2 hierarchy in which the process lies, from the texts of
// /proc/self/cgroup and /proc/self/mountinfo. A mount exposes the hierarchy
// from its root field down, so a process's cgroup outside that root, or one
// whose path has a ".." component, is not found through that mount.
std::vector<CgroupDir> FindCpuCgroups(std::string_view procCgroup, std::string_view mountinfo);

// Processors a quota allows, ceil(quota / period) clamped to int; nothing for
// no quota ("max", -1) and for text that is no well-formed quota (garbage,
// truncated, zero, or numbers beyond 64 bits).
std::optional<int> QuotaProcessorsV2(std::string_view cpuMax);
std::optional<int> QuotaProcessorsV1(std::string_view cfsQuota, std::string_view cfsPeriod);

// The tightest quota on the way from each cgroup directory up to its mount
// point, in processors; nothing when no readable file sets one.
std::optional<int> CpuQuotaProcessors(const ReadFile& read);

// min(affinity, CpuQuotaProcessors(read)), at least 1.
int AvailableCPUCount(int affinity, const ReadFile& read);

}  // namespace bobbin::detail
