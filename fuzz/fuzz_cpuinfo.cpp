// libFuzzer target: the processor-topology parser over arbitrary bytes (any
// length, NUL bytes, lines far beyond one 1023-byte piece). The sanitizers
// catch crashes, overflows and undefined behaviour; the target itself checks
// that the bytes parse alike as text and as a file read with fgets, and that
// the counts stay within what the input can give.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "bobbin/cpuinfo/cpuinfo_parser.h"

namespace {

using bobbin::cpuinfo_detail::CpuInfoCounts;

void Print(const char* label, const CpuInfoCounts& c) {
    std::fprintf(stderr,
                 "  %s: logical %d, physical %d, cores %d, per core %d, total %d, cache %llu, "
                 "per core %llu, per logical %llu\n",
                 label, c.logicalCount, c.physicalCPUCount, c.coresPerPhysicalCPUCount,
                 c.logicalCPUPerCoreCount, c.totalSystemCPUCount, c.physicalProcessorCacheSize,
                 c.cacheSizePerCore, c.cacheSizePerLogicalCPU);
}

void Check(bool holds, const char* what, const CpuInfoCounts& counts) {
    if (holds) return;
    std::fprintf(stderr, "fuzz_cpuinfo: %s\n", what);
    Print("counts", counts);
    std::abort();
}

// The number of pieces fgets would hand over: each line, cut every 1023 bytes.
std::size_t PieceCount(std::string_view bytes) {
    std::size_t pieces = 0;
    std::size_t run = 0;
    for (char c : bytes) {
        ++run;
        if (c == '\n' || run == bobbin::cpuinfo_detail::kPieceBufferSize - 1) {
            ++pieces;
            run = 0;
        }
    }
    return pieces + (run > 0 ? 1 : 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const CpuInfoCounts counts = bobbin::cpuinfo_detail::ParseCpuInfoText(bytes);

    // The same bytes as a file, read the way the probe reads /proc/cpuinfo.
    if (size > 0) {
        std::string copy(bytes);
        std::FILE* file = fmemopen(copy.data(), copy.size(), "r");
        if (file == nullptr) std::abort();
        const CpuInfoCounts fromFile = bobbin::cpuinfo_detail::ParseCpuInfo(file);
        std::fclose(file);
        if (fromFile != counts) {
            std::fprintf(stderr, "fuzz_cpuinfo: text and file parses differ\n");
            Print("text", counts);
            Print("file", fromFile);
            std::abort();
        }
    }

    // Each piece names at most one processor; the derived counts never exceed
    // the logical count; sizes are whole KiB that fit an int count of KiB.
    Check(counts.logicalCount >= 0 &&
              static_cast<std::size_t>(counts.logicalCount) <= PieceCount(bytes),
          "more processors than pieces", counts);
    Check(counts.physicalCPUCount >= 0 && counts.physicalCPUCount <= counts.logicalCount,
          "physical count outside [0, logical]", counts);
    Check(counts.totalSystemCPUCount >= 0 && counts.totalSystemCPUCount <= counts.logicalCount,
          "total count outside [0, logical]", counts);
    Check(counts.physicalProcessorCacheSize % 1024 == 0 &&
              counts.physicalProcessorCacheSize <= 2147483647ull * 1024,
          "cache size not a whole number of KiB within range", counts);
    Check(counts.cacheSizePerLogicalCPU <= counts.cacheSizePerCore &&
              counts.cacheSizePerCore <= counts.physicalProcessorCacheSize,
          "per-processor cache larger than the package's", counts);
    return 0;
}
