// libFuzzer target: the processor-topology parser over arbitrary bytes (any
// length, NUL bytes, lines far beyond one 1023-byte piece), read from memory
// with fgets as the probe reads /proc/cpuinfo. The sanitizers catch crashes,
// overflows and undefined behaviour; the target checks that the counts stay
// within what the input can give.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bobbin/cpuinfo/cpuinfo_parser.h"

namespace {

void Check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "fuzz_cpuinfo: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    std::FILE* file = fmemopen(bytes.data(), bytes.size(), "r");
    Check(file != nullptr, "fmemopen failed");
    const auto c = bobbin::cpuinfo_detail::ParseCpuInfo(file);
    std::fclose(file);

    // Each piece (a line, or 1023 bytes of one) names at most one processor; the
    // derived counts never exceed the logical count; sizes are whole KiB that fit
    // an int count of KiB.
    Check(c.logicalCount >= 0 && static_cast<std::size_t>(c.logicalCount) <= size / 9,
          "more processors than the text can name");
    Check(c.physicalCPUCount >= 0 && c.physicalCPUCount <= c.logicalCount,
          "physical count outside [0, logical]");
    Check(c.totalSystemCPUCount >= 0 && c.totalSystemCPUCount <= c.logicalCount,
          "total count outside [0, logical]");
    Check(c.physicalProcessorCacheSize % 1024 == 0 &&
              c.physicalProcessorCacheSize <= 2147483647ULL * 1024,
          "cache size not a whole number of KiB within range");
    Check(c.cacheSizePerLogicalCPU <= c.cacheSizePerCore &&
              c.cacheSizePerCore <= c.physicalProcessorCacheSize,
          "per-processor cache larger than the package's");
    return 0;
}
