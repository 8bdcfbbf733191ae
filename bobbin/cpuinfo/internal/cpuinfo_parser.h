// Internal, not installed: the pure parser behind the processor topology probe
// (text in, counts out) and the probe itself (the parser over one file plus the
// state that becomes final after the first successful probe). Tests run the
// parser over fixture files and the probe over paths of their own.
#pragma once

#include <sched.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string_view>

namespace bobbin::detail {

// Everything the probe learns, named as the module's state.
struct CpuInfoCounts {
    int logical_count = 0;
    int physical_cpu_count = 0;
    int cores_per_physical_cpu_count = 0;
    int logical_cpu_per_core_count = 0;
    int total_system_cpu_count = 0;
    unsigned long long physical_processor_cache_size = 0;
    unsigned long long cache_size_per_core = 0;
    unsigned long long cache_size_per_logical_cpu = 0;
};

// The buffer the file is read into: at most 1023 characters per piece.
inline constexpr std::size_t kPieceBufferSize = 1024;

// Accumulates pieces of the file and derives the counts from them.
class CpuInfoParser {
  public:
    // Handles one piece, as fgets leaves it in a buffer of kPieceBufferSize bytes:
    // at most 1023 characters, ending with a newline unless the line was longer
    // or the file ended. The piece's text ends at its first NUL byte, as every C
    // string function would see it. Never modifies global state (no strtok).
    void Feed(std::string_view piece);

    // The counts after all pieces so far: processors, cores and cache shares.
    CpuInfoCounts Finish() const;

  private:
    int processors_ = 0;   // P, saturating at INT_MAX
    bool marked_ = false;  // H > 0
    unsigned long long cache_size_ = 0;
};

// Reads `file` with fgets into a 1024-byte buffer until end of file or a read
// error and parses every piece. Does not close the file.
CpuInfoCounts ParseCpuInfo(std::FILE* file);

// The scheduler call the affinity count makes; tests substitute their own. On
// success it writes all `size` bytes of the mask, as glibc's sched_getaffinity
// does, and returns 0; on failure it returns a negative value.
using GetAffinityFunction = int (*)(pid_t pid, std::size_t size, cpu_set_t* mask);

// The probe over one file: all zero until a probe opens the file, final after.
// The first queries of several threads may run at the same time: the probe runs
// under a mutex, and once the atomic `has_queried_` mark is seen (acquire) no lock
// is taken. Constant-initialised, so a namespace-scope instance is usable from
// any static initialiser.
class CpuInfoProbe {
  public:
    explicit constexpr CpuInfoProbe(const char* path) : path_(path) {}
    CpuInfoProbe(const CpuInfoProbe&) = delete;
    CpuInfoProbe& operator=(const CpuInfoProbe&) = delete;

    // Runs the probe unless it has run, then returns one value of the state.
    template <typename T>
    T Get(T CpuInfoCounts::*field) {
        if (has_queried_.load(std::memory_order_acquire)) return state_.*field;
        std::lock_guard<std::mutex> hold(probe_mutex_);
        CalculateLocked();
        return state_.*field;  // read under the lock: final, or all zero
    }

    // Counts the bits of the calling thread's 128-byte affinity mask as
    // `getaffinity` reports it, afresh each call; when that call fails, the total
    // system count (which runs the probe if it has not run).
    int AffinityCount(GetAffinityFunction getaffinity);

  private:
    // calculateCPUInfo, under probe_mutex_: fills the state unless done; when
    // the file cannot be opened nothing changes and the next call retries.
    void CalculateLocked();

    const char* path_;
    std::atomic<bool> has_queried_{false};
    std::mutex probe_mutex_;
    CpuInfoCounts state_{};
};

}  // namespace bobbin::detail
