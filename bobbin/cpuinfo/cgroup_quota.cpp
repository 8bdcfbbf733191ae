#include "bobbin/cpuinfo/internal/cgroup_quota.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace bobbin::detail {

namespace {

// Far above any cgroup or /proc file read here; a bigger file (or an endless
// one, such as /dev/zero bound over a cgroup file) counts as unreadable.
constexpr std::size_t kMaxFileSize = std::size_t{4} << 20;

// Splits `text` at `separator`; an empty text has no fields.
std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> fields;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find(separator), text.size());
        fields.push_back(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return fields;
}

bool Contains(const std::vector<std::string_view>& fields, std::string_view wanted) {
    return std::find(fields.begin(), fields.end(), wanted) != fields.end();
}

// A mountinfo path with its octal escapes (\040 for a blank, \134 for a
// backslash) decoded.
std::string Unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto digit = [&](std::size_t at, char last) {
            return at < text.size() && text[at] >= '0' && text[at] <= last;
        };
        if (text[i] == '\\' && digit(i + 1, '3') && digit(i + 2, '7') && digit(i + 3, '7')) {
            out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                     (text[i + 3] - '0'));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

// A decimal number of digits only, below 2^63; nothing otherwise.
std::optional<std::int64_t> ParseCount(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9' || value > (INT64_MAX - (c - '0')) / 10) return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// ceil(quota / period), clamped to int; nothing unless both are positive.
std::optional<int> Processors(std::optional<std::int64_t> quota,
                              std::optional<std::int64_t> period) {
    if (!quota || !period || *quota <= 0 || *period <= 0) return std::nullopt;
    const std::int64_t count = *quota / *period + (*quota % *period != 0 ? 1 : 0);
    return static_cast<int>(std::min<std::int64_t>(count, INT_MAX));
}

// The text without its one closing newline.
std::string_view Line(std::string_view text) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    return text;
}

// `cgroupPath` below the mount's `root`, or nothing when it lies outside it or
// climbs with "..": "" for the root itself, else "/a/b".
std::optional<std::string> BelowRoot(std::string_view cgroupPath, std::string_view root) {
    if (root == "/") root = "";
    if (cgroupPath.substr(0, root.size()) != root) return std::nullopt;
    std::string_view rest = cgroupPath.substr(root.size());
    if (!rest.empty() && rest.front() != '/') return std::nullopt;  // "/pod" vs "/podx"
    for (const std::string_view part : Split(rest, '/')) {
        if (part == "..") return std::nullopt;
    }
    while (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    return std::string(rest);
}

}  // namespace

std::optional<std::string> ReadSmallFile(const std::string& path) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "re"),
                                                               &std::fclose);
    if (!file) return std::nullopt;
    std::string text;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        text.append(buffer, got);
        if (text.size() > kMaxFileSize) return std::nullopt;
    }
    if (std::ferror(file.get())) return std::nullopt;
    return text;
}

std::vector<CgroupDir> FindCpuCgroups(std::string_view procCgroup, std::string_view mountinfo) {
    // "hierarchy-id:controllers:path": the v1 `cpu` hierarchy and the v2 one ("0::").
    std::optional<std::string_view> v1_path;
    std::optional<std::string_view> v2_path;
    for (const std::string_view line : Split(procCgroup, '\n')) {
        const std::size_t first = line.find(':');
        if (first == std::string_view::npos) continue;
        const std::size_t second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        if (line.substr(0, first) == "0" && controllers.empty()) v2_path = path;
        if (Contains(Split(controllers, ','), "cpu")) v1_path = path;
    }

    // "id parent major:minor root mount-point options [optional...] - type source
    // super-options": a v1 mount lists its controllers among the super-options.
    std::vector<CgroupDir> dirs;
    for (const std::string_view line : Split(mountinfo, '\n')) {
        const std::vector<std::string_view> fields = Split(line, ' ');
        const auto dash = std::find(fields.begin(), fields.end(), "-");
        if (dash - fields.begin() < 5 || fields.end() - dash < 4) continue;
        const bool v2 = dash[1] == "cgroup2";
        const bool v1 = dash[1] == "cgroup" && Contains(Split(dash[3], ','), "cpu");
        const std::optional<std::string_view> path = v2 ? v2_path : v1 ? v1_path : std::nullopt;
        if (!path) continue;
        const std::optional<std::string> below = BelowRoot(*path, Unescape(fields[3]));
        if (!below) continue;
        std::string top = Unescape(fields[4]);
        if (top.empty() || top.front() != '/') continue;  // never a path relative to ours
        if (top == "/") top.clear();                      // so that top + below has no "//"
        dirs.push_back({top + *below, top, v2});
    }
    return dirs;
}

std::optional<int> QuotaProcessorsV2(std::string_view cpuMax) {
    const std::string_view line = Line(cpuMax);
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos || line.substr(0, blank) == "max") return std::nullopt;
    return Processors(ParseCount(line.substr(0, blank)), ParseCount(line.substr(blank + 1)));
}

std::optional<int> QuotaProcessorsV1(std::string_view cfsQuota, std::string_view cfsPeriod) {
    return Processors(ParseCount(Line(cfsQuota)), ParseCount(Line(cfsPeriod)));
}

std::optional<int> CpuQuotaProcessors(const ReadFile& read) {
    const std::optional<std::string> proc_cgroup = read("/proc/self/cgroup");
    const std::optional<std::string> mountinfo = read("/proc/self/mountinfo");
    if (!proc_cgroup || !mountinfo) return std::nullopt;

    std::optional<int> tightest;
    for (const CgroupDir& dir : FindCpuCgroups(*proc_cgroup, *mountinfo)) {
        // From the process's cgroup up to the mount point, inclusive.
        for (std::string at = dir.path;; at.resize(at.rfind('/'))) {
            std::optional<int> here;
            if (dir.v2) {
                if (const auto cpu_max = read(at + "/cpu.max")) here = QuotaProcessorsV2(*cpu_max);
            } else {
                const auto quota = read(at + "/cpu.cfs_quota_us");
                const auto period = quota ? read(at + "/cpu.cfs_period_us") : std::nullopt;
                if (quota && period) here = QuotaProcessorsV1(*quota, *period);
            }
            if (here && (!tightest || *here < *tightest)) tightest = here;
            if (at.size() <= dir.top.size()) break;
        }
    }
    return tightest;
}

int AvailableCPUCount(int affinity, const ReadFile& read) {
    const std::optional<int> quota = CpuQuotaProcessors(read);
    return std::max(1, quota ? std::min(affinity, *quota) : affinity);
}

}  // namespace bobbin::detail
